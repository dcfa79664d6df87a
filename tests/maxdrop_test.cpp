#include "harness.h"

namespace
{

// A run that would remove more of the current file's peers than maxdrop
// allows is refused: the file stays, no command runs, and both streams say
// how many peers it would remove.
TEST_F(ProgramTest, MaxdropKeepsARunFromRemovingTooManyPeers)
{
    const std::vector<std::vector<cell>> five = {{"801"}, {"802"}, {"ABC"}, {"804"}, {"805"}};
    const struct {
        const char *name, *driver, *maxdrop;
        std::vector<std::vector<cell>> left; // the table's rows for the second run
        bool refused;
    } cases[] = {
        {"four of five, one allowed", "", "1", {{"801"}}, true},
        {"four of five, four allowed", "", "4", {{"801"}}, false},
        {"80 percent, 50 allowed", "", "50%", {{"801"}}, true},
        {"80 percent, 80 allowed", "", "80%", {{"801"}}, false},
        {"chan_sip keeps a peer whatever the letter case",
         "",
         "0",
         {{"801"}, {"802"}, {"abc"}, {"804"}, {"805"}, {"806"}},
         false},
        {"PJSIP counts peers, not sections", "driver = pjsip\n", "3", {{"801"}}, true},
        {"PJSIP counts peers, not sections", "driver = pjsip\n", "4", {{"801"}}, false},
        {"an empty table", "", "100%", {}, false},
    };
    const std::string path = config_path("users_extension.conf"), log = config_path("hook.log");
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.name) + ", maxdrop = " + c.maxdrop);
        clear_config_dir();
        write_good_settings(c.driver);
        make_table("users_extension", {"_exten"}, five);
        ASSERT_EQ(run_program({"0"}).status, 0);
        std::string before = read_file(path);
        write_good_settings(std::string(c.driver) + "maxdrop = " + c.maxdrop +
                            "\nonchange = echo ran >>" + log + "\n");
        make_table("users_extension", {"_exten"}, c.left);
        run_result r = run_program({"0"});
        if (!c.refused) {
            EXPECT_EQ(r.status, 0) << r.out << r.err;
            EXPECT_EQ(read_file(log), "ran\n");
            continue;
        }
        std::string removed = std::to_string(5 - c.left.size());
        EXPECT_EQ(r.out.substr(r.out.rfind("This run")),
                  "This run would remove " + removed + " of the 5 peers in " + path +
                      ", more than maxdrop = " + c.maxdrop + " allows," + path +
                      " is left unchanged.\n");
        EXPECT_EQ(r.err, "peerloom: maxdrop " + path + ": " + removed +
                             " of 5 peers would go; check the table, and if they are to go, "
                             "raise maxdrop for one run\n");
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(read_file(path), before);
        EXPECT_FALSE(file_exists(log));
    }
}

} // namespace
