// A symbolic link to the terminal at a fixed path, for clients that name their port in advance.
#pragma once

#include <memory>
#include <string>

namespace kq5316::sim {

class PortLink {
  public:
    // Makes `path` a symbolic link to `target`. An existing symbolic link at `path` is replaced;
    // any other file there is refused, since it may be a real device or someone's data. On
    // failure returns null and sets `error`.
    static std::unique_ptr<PortLink> create(const std::string &path, const std::string &target,
                                            std::string &error);

    PortLink(const PortLink &) = delete;
    PortLink &operator=(const PortLink &) = delete;
    // Removes the link, unless it has been replaced meanwhile by something not pointing to the
    // terminal.
    ~PortLink();

    const std::string &path() const { return path_; }

  private:
    PortLink(std::string path, std::string target)
        : path_(std::move(path)), target_(std::move(target)) {}

    std::string path_;
    std::string target_;
};

} // namespace kq5316::sim
