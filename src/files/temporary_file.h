#pragma once

#include <string>

#include "util/console.h"

// The file that receives the new content until it takes the old file's
// place, named ".NAME.peerloom-" and six random letters or digits, beside
// the file NAME it is to replace.
//
// Whatever ends the run, the file goes: a failed or abandoned run removes
// it, and so do SIGINT, SIGTERM and SIGHUP before the run dies of them. A
// run that is killed outright, or loses its power, leaves it behind; the
// next run of the same file removes it, under the lock, so that it cannot
// belong to a live run. The marker in the name keeps that from ever taking
// another dot file, such as an administrator's .NAME.backup.
class temporary_file
{
  public:
    temporary_file() = default;
    ~temporary_file() { discard(); }
    temporary_file(const temporary_file &) = delete;
    temporary_file &operator=(const temporary_file &) = delete;

    // Removes what killed runs left for `target` in `dir`, a directory open
    // for reading that the run holds locked, and which the console calls
    // `dir_shown`; then creates the file there, empty and private.
    bool create(int dir, const std::string &dir_shown, const std::string &target,
                failure_cause &cause);

    int fd() const { return fd_; }
    const char *name() const { return name_.c_str(); }

    // The file as the console names it.
    std::string path() const { return dir_shown_ + "/" + name_; }

    // Closes the file; a file system may report a failed write only here.
    bool close(failure_cause &cause);

    // The file has been renamed into place: its name is no longer this one's
    // to remove.
    void renamed();

    // Closes and removes the file, if there is one.
    void discard();

  private:
    int dir_ = -1;          // the directory it is in
    std::string dir_shown_; // that directory as the console names it
    std::string name_;      // its name; empty when there is no file to remove
    int fd_ = -1;           // the file, open for writing
};
