#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

// A peer file being regenerated. The new content goes to a temporary file
// beside the file it replaces, and takes its place in one rename once all of
// it is safely on disk: the PBX sees the old file or the new one, never a
// partial one, and a failed run leaves the old file as it was.
class output_file
{
  public:
    explicit output_file(std::string path);
    ~output_file();
    output_file(const output_file &) = delete;
    output_file &operator=(const output_file &) = delete;

    // Creates the temporary file; false when it cannot be created.
    bool open();

    // Appends text. After a failed write, nothing more is written. Every
    // piece of every line comes through here, so the common case is one copy.
    void put(std::string_view text)
    {
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

  private:
    static constexpr std::size_t buffer_size = 64 * 1024;

    void put_past_buffer(std::string_view text);
    void write_out(std::string_view text);
    void flush();
    bool finish_writing();
    bool replace_target();
    void discard();

    std::string path_;      // output path as given
    std::string target_;    // path_ with symbolic links followed: what rename replaces
    std::string temp_path_; // temporary file; empty when there is none to clean up
    int fd_ = -1;           // open temporary file
    std::unique_ptr<char[]> buffer_ = std::make_unique<char[]>(buffer_size);
    std::size_t used_ = 0; // bytes of buffer_ not yet written to fd_
    bool failed_ = false;  // a write has failed
};
