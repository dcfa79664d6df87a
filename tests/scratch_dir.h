#pragma once

// What the unit tests of the replacement share: a scratch directory of their
// own under /tmp, made for each test and removed after it, and a few ways to
// look into it.

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "files/output_file.h"

class ScratchDir : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char name[] = "/tmp/peerloom-output-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string path(const std::string &name) const { return dir + "/" + name; }

    static std::string read(const std::string &p)
    {
        std::ifstream in(p, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static void write(const std::string &p, const std::string &content)
    {
        std::ofstream(p, std::ios::binary) << content;
    }
    static struct stat status(const std::string &p)
    {
        struct stat st = {};
        stat(p.c_str(), &st);
        return st;
    }
    static mode_t mode_of(const std::string &p) { return status(p).st_mode & 07777; }

    // Names in the directory, its lock file left out.
    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        for (const auto &e : std::filesystem::directory_iterator(dir))
            if (e.path().filename() != ".peerloom.lock")
                names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // Writes `content` to the file `name` of the directory.
    file_outcome replace(const std::string &name, const std::string &content) const
    {
        output_file out(dir, name, 0);
        if (out.open() != output_file::opening::ready)
            return file_outcome::failed;
        out.put(content);
        return out.commit();
    }

    std::string dir;
};
