#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "files/target_path.h"
#include "files/temporary_file.h"
#include "files/unique_fd.h"
#include "util/console.h"

// How a run's file ended.
enum class file_outcome {
    replaced,  // the new file is in place
    unchanged, // the new content was the old file's byte for byte: the old file stays, untouched
    failed,    // nothing was replaced; the failure has been reported
};

// A peer file being regenerated. The new content goes to a temporary file
// beside the file it replaces, and takes its place in one rename once all of
// it is safely on disk: the PBX sees the old file or the new one, never a
// partial one, and a failed run leaves the old file as it was. A run whose
// content equals the old file's leaves that file alone, so that nothing that
// watches it sees a change that is none: the new bytes are compared with
// the old file's as they go out, and the temporary file is made only at the
// first difference, from the bytes that matched, so that such a run writes
// nothing at all.
//
// From open() to the end of commit() the run holds the lock of the
// configuration directory, so that runs writing there take turns: a run
// that starts later also reads its table later, and its file is the one
// that stays.
class output_file
{
  public:
    // The file `name` (a path relative to `dir`, links allowed) in the
    // configuration directory `dir`, whose lock is waited for at most
    // `lock_wait_seconds`.
    output_file(std::string dir, std::string name, int lock_wait_seconds);
    output_file(const output_file &) = delete;
    output_file &operator=(const output_file &) = delete;

    enum class opening {
        ready,  // the temporary file is open
        failed, // the file cannot be created or replaced; cause() says why
        busy,   // another run held the directory for all of the wait
    };

    // Finds the configuration directory, takes its lock, finds the file and
    // checks that it may be replaced. The temporary file, with the old
    // file's attributes, is created here when there is no old file to
    // compare with; otherwise at the first difference.
    opening open();

    // Appends text. After a failed write, nothing more is written. Every
    // piece of every line comes through here, so the common case is one copy.
    void put(std::string_view text)
    {
        if (text.size() > buffer_size - used_) {
            put_past_buffer(text);
            return;
        }
        copy_bytes(buffer_.get() + used_, text.data(), text.size());
        used_ += text.size();
    }

    // Puts the new file in place of the old one, or leaves the old one alone
    // when it holds the same bytes. With `mark_reload`, a replacement first
    // marks the file's onchange command due (files/reload_mark.h). On a
    // failure it prints why, removes the temporary file and returns failed;
    // the old file is then untouched, unless only the final sync of the
    // directory failed.
    file_outcome commit(bool mark_reload = false);

    // Whether the file's onchange command is still due from an earlier run;
    // and its end, once the command succeeded. Between open() and the end
    // of the run, under the lock.
    bool reload_due() const;
    bool clear_reload_mark();

    // The path the console names: the output path as given.
    const std::string &path() const { return path_; }

    // The system call that failed last, for the line that follows a
    // failure message.
    const failure_cause &cause() const { return cause_; }

  private:
    static constexpr std::size_t buffer_size = 64 * 1024;

    // Most pieces are a few bytes long: copied in moves of a fixed size,
    // which the compiler makes inline, they cost less than a library call.
    // An empty piece, which may have no bytes to copy from, copies nothing.
    static void copy_bytes(char *to, const char *from, std::size_t n)
    {
        if (n > 16) {
            std::memcpy(to, from, n);
        } else if (n >= 8) {
            std::memcpy(to, from, 8);
            std::memcpy(to + n - 8, from + n - 8, 8);
        } else if (n >= 4) {
            std::memcpy(to, from, 4);
            std::memcpy(to + n - 4, from + n - 4, 4);
        } else {
            for (std::size_t i = 0; i < n; ++i)
                to[i] = from[i];
        }
    }

    bool open_old_file();
    bool may_create_here();
    bool create_temporary();
    bool start_new_file(std::size_t matched);
    bool copy_from_old(std::size_t bytes);
    void put_past_buffer(std::string_view text);
    void write_out(std::string_view text);
    void write_to_temp(std::string_view text);
    void compare_with_old(std::string_view text);
    void flush();
    bool same_as_old();
    bool finish_writing();
    bool replace_target();

    std::string config_dir_;       // configuration directory, as given
    std::string name_;             // the file's path in it, as given
    std::string path_;             // config_dir_/name_
    int lock_wait_seconds_;        // how long open() waits for another run
    unique_fd config_dir_fd_;      // the configuration directory, where the lock and marks are
    std::string config_dir_shown_; // that directory as the console names it
    unique_fd lock_;               // holds the lock
    target_file target_;           // the file to replace, and its directory
    unique_fd old_;                // the old file, while its bytes are compared with the new ones
    temporary_file temp_;          // the new file until it is renamed
    std::unique_ptr<char[]> buffer_ = std::make_unique<char[]>(buffer_size);
    std::size_t used_ = 0;              // bytes of buffer_ not yet written out
    bool failed_ = false;               // a write has failed
    bool same_ = false;                 // every byte written so far is the old file's
    std::size_t matched_ = 0;           // how many they are, while same_: none are in temp_
    std::unique_ptr<char[]> old_bytes_; // what compare_with_old reads of the old file
    failure_cause cause_;
};
