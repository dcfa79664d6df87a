// peerloom: regenerates one Asterisk peer file from the user tables in the
// database. The first character of the one argument chooses the file.

#include <csignal>
#include <cstdio>

#include "db/database.h"
#include "peers/peer_file.h"
#include "run/build_config.h"
#include "run/onchange.h"
#include "run/settings.h"

namespace
{

using mode_writer = int (*)(const output_settings &);

struct mode_entry {
    char selector; // first character of the argument
    mode_writer write;
};

const mode_entry modes[] = {
    {'0', write_extension_file},
    {'1', write_horncell_file},
    {'2', write_webrtc_file},
};

const char *const banner_head[] = {
    "==2015.11.19==",
    "==2016.01.20 support utf8(Chinese)==",
};
const char banner_mwi_line[] = "2016.04.05 for mwi users_extension.conf";
const char *const banner_usage[] = {
    "you must enter a parameter to choose a type of extension config file you want to create.",
    "parameter 0 produce users_extension.conf",
    "parameter 1 produce users_horncell.conf",
    "parameter 2 produce users_webrtc.conf",
};

// The short banner answers a missing argument; the long one, which also
// names the mailbox change, closes every other run that ends normally.
void print_banner(bool long_form)
{
    for (const char *line : banner_head)
        std::puts(line);
    if (long_form)
        std::puts(banner_mwi_line);
    for (const char *line : banner_usage)
        std::puts(line);
}

const mode_entry *find_mode(char selector)
{
    for (const mode_entry &m : modes)
        if (m.selector == selector)
            return &m;
    return nullptr;
}

} // namespace

int main(int argc, char *argv[])
{
    // Past a file-size limit a write should fail and be reported, keeping the
    // old file, rather than kill the run and leave a temporary file behind.
    std::signal(SIGXFSZ, SIG_IGN);
    // A console reader that goes away does not stop the job halfway: the
    // run completes and replaces the file.
    std::signal(SIGPIPE, SIG_IGN);

    db_settings settings;
    settings_stream settings_file = read_settings(settings);
    if (!settings_file)
        return -1;
    output_settings where{config_dir, peer_form::sip, lock_wait_seconds, {}, {}};
    tls_mode tls = tls_mode::off;
    if (!choose_driver(settings, where.form) || !choose_dbtls(settings, tls) ||
        !choose_maxdrop(settings, where.maxdrop))
        return -1;

    connection(settings.dbserverip.c_str(), settings.dbuser.c_str(), settings.dbpasswd.c_str(),
               settings.dbname.c_str(), tls, settings.dbcafile.c_str());
    limit_query_time(query_wait_seconds);

    if (argc < 2) {
        settings_file.reset();
        close_database();
        print_banner(false);
        return 0;
    }

    if (const mode_entry *m = find_mode(argv[1][0])) {
        if (!settings.onchange.empty())
            where.then = [&](const std::string &file) {
                return run_onchange(settings.onchange, file, m->selector, onchange_wait_seconds);
            };
        // On failure the writer or the command has said why; the process's
        // end releases the rest, and no banner follows.
        if (m->write(where) != 0)
            return -1;
    } else {
        std::puts("You enter the wrong parameters.please check it");
    }

    settings_file.reset();
    close_database();
    print_banner(true);
    return 0;
}
