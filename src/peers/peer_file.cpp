#include "peers/peer_file.h"

#include <cstdio>
#include <string>

#include "db/database.h"
#include "peers/output_file.h"
#include "run/config_dir.h"

int write_peer_file(const peer_mode &mode)
{
    if (run_query(mode.sql) != 0 || store_result() != 0)
        return -1;
    if (mode.reports_row_count)
        report_row_count();

    output_file out(std::string(config_dir) + "/" + mode.file_name);
    if (!out.open()) {
        std::printf(mode.open_failure, out.path().c_str());
        return -1;
    }
    out.put(mode.preamble);
    if (translate_rows(out, mode.chain, mode.shape) != 0)
        return -1;
    return out.commit() ? 0 : -1;
}
