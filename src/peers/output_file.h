#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>

#include "util/console.h"

// A peer file being regenerated. The new content goes to a temporary file
// beside the file it replaces, and takes its place in one rename once all of
// it is safely on disk: the PBX sees the old file or the new one, never a
// partial one, and a failed run leaves the old file as it was.
//
// From open() to the end of commit() the run holds a lock on the directory,
// so that runs writing there take turns: a run that starts later also reads
// its table later, and its file is the one that stays.
class output_file
{
  public:
    output_file(std::string path, int lock_wait_seconds);
    ~output_file();
    output_file(const output_file &) = delete;
    output_file &operator=(const output_file &) = delete;

    enum class opening {
        ready,  // the temporary file is open
        failed, // the file cannot be created or replaced; cause() says why
        busy,   // another run held the directory for all of the wait
    };

    // Locks the directory, removes the temporary files that interrupted
    // runs left for this file, checks that the file may be replaced, and
    // creates the temporary file.
    opening open();

    // Appends text. After a failed write, nothing more is written. Every
    // piece of every line comes through here, so the common case is one copy.
    void put(std::string_view text)
    {
        if (text.empty()) // which may have no bytes to copy from at all
            return;
        if (text.size() > buffer_size - used_) {
            put_past_buffer(text);
            return;
        }
        std::memcpy(buffer_.get() + used_, text.data(), text.size());
        used_ += text.size();
    }

    // Puts the new file in place of the old one. On any failure it prints
    // why, removes the temporary file and returns false; the old file is
    // then untouched, unless only the final sync of the directory failed.
    bool commit();

    // The path the console names: the output path as given.
    const std::string &path() const { return path_; }

    // The system call that failed last, for the line that follows a
    // failure message.
    const failure_cause &cause() const { return cause_; }

  private:
    static constexpr std::size_t buffer_size = 64 * 1024;

    bool follow_links();
    bool open_directory();
    opening lock_directory();
    std::string temporary_prefix() const;
    void remove_leftovers();
    bool check_target(struct stat &old, bool &exists);
    bool create_temporary(const struct stat &old, bool exists);
    bool fail(const char *step, const std::string &path, int error, const char *reason = nullptr);
    std::string temporary_path() const;

    void put_past_buffer(std::string_view text);
    void write_out(std::string_view text);
    void flush();
    bool finish_writing();
    bool replace_target();
    void discard();

    std::string path_;      // output path as given
    int lock_wait_seconds_; // how long open() waits for another run
    std::string target_;    // path_ with symbolic links followed: what rename replaces
    std::string dir_path_;  // the directory of target_
    std::string base_;      // the last component of target_
    std::string temp_name_; // temporary file in dir_; empty when there is none to clean up
    int dir_ = -1;          // the open directory; holds the lock
    int fd_ = -1;           // open temporary file
    std::unique_ptr<char[]> buffer_ = std::make_unique<char[]>(buffer_size);
    std::size_t used_ = 0; // bytes of buffer_ not yet written to fd_
    bool failed_ = false;  // a write has failed
    failure_cause cause_;
};
