// The simulator's end of the serial line: the master side of a pseudo-terminal. Only the master
// is held; the slave path is what clients open as their serial port.
#pragma once

#include <memory>
#include <span>
#include <string>

#include "sim/port.hpp"
#include "sim/text.hpp"

namespace kq5316::sim {

class PtyPort : public Port {
  public:
    // Creates the pseudo-terminal in raw mode, master non-blocking. On failure returns null and
    // sets `error`.
    static std::unique_ptr<PtyPort> create(std::string &error);

    PtyPort(const PtyPort &) = delete;
    PtyPort &operator=(const PtyPort &) = delete;
    ~PtyPort() override;

    int fd() const override { return master_; }
    // The slave's path.
    const std::string &name() const override { return slave_path_; }

    // hung_up: no client holds the slave.
    ReadStatus read_waiting(Bytes &out) override;
    bool write_all(std::span<const std::uint8_t> bytes, std::string &error) override;

  private:
    PtyPort(int master, std::string slave_path)
        : master_(master), slave_path_(std::move(slave_path)) {}

    int master_; // owned
    std::string slave_path_;
};

} // namespace kq5316::sim
