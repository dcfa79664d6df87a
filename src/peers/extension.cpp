#include "peers/peer_file.h"

// Ordinary desk phones. The only mode that completes voicemail boxes with
// their context.
const peer_mode extension_mode = {
    "SELECT * from users_extension order by _exten asc",
    "users_extension.conf",
    true,
    "Creating extension config file failed,please check it.\n",
    "",
    "",
    with_codecs({
        {"_id", rule_kind::skip},
        {"_exten", rule_kind::header},
        {"_outbound_cid", rule_kind::skip},
        {"_position", rule_kind::skip},
        {"_F1", rule_kind::skip},
        {"_F2", rule_kind::skip},
        {"_F3", rule_kind::skip},
        {"_F4", rule_kind::skip},
    }),
    {"]\n", "\n", true, true, false, true, ""},
};

int write_extension_file(const output_settings &where)
{
    return write_peer_file(extension_mode, where);
}
