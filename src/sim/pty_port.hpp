// The simulator's end of the serial line: the master side of a pseudo-terminal. Only the master
// is held; the slave path is what clients open as their serial port.
#pragma once

#include <memory>
#include <span>
#include <string>

#include "sim/text.hpp"

namespace kq5316::sim {

class PtyPort {
  public:
    // Creates the pseudo-terminal in raw mode, master non-blocking. On failure returns null and
    // sets `error`.
    static std::unique_ptr<PtyPort> create(std::string &error);

    PtyPort(const PtyPort &) = delete;
    PtyPort &operator=(const PtyPort &) = delete;
    ~PtyPort();

    int fd() const { return master_; }
    const std::string &slave_path() const { return slave_path_; }

    enum class ReadStatus {
        drained, // everything waiting was read (possibly nothing)
        hung_up, // no client holds the slave; whatever was waiting has been read
        failed,  // errno says why
    };
    // Appends every byte waiting on the master to `out`.
    ReadStatus read_waiting(Bytes &out);

    // Writes all of `bytes`. Returns false with `error` set when the terminal would not take
    // them (its buffer full because no client reads, or a system error).
    bool write_all(std::span<const std::uint8_t> bytes, std::string &error);

  private:
    PtyPort(int master, std::string slave_path)
        : master_(master), slave_path_(std::move(slave_path)) {}

    int master_; // owned
    std::string slave_path_;
};

} // namespace kq5316::sim
