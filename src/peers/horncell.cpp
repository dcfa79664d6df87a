#include "peers/peer_file.h"

// Horncell endpoints: every setting column is written, empty or not, and
// each row's codec list is traced on the console.
const peer_mode horncell_mode = {
    "SELECT * from users_horncell order by _exten asc",
    "users_horncell.conf",
    true,
    "Creating extension config file failed,please check it.\n",
    "",
    "",
    with_codecs({
        {"_id", rule_kind::skip},
        {"_exten", rule_kind::header},
        {"outbound_cid", rule_kind::skip},
        {"_position", rule_kind::skip},
        {"_F1", rule_kind::skip},
        {"_F2", rule_kind::skip},
        {"_F3", rule_kind::skip},
        {"_F4", rule_kind::skip},
    }),
    {"]\n", "\n", false, false, true, true, ""},
};

int write_horncell_file(const output_settings &where)
{
    return write_peer_file(horncell_mode, where);
}
