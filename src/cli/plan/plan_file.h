// The files of a plan run that come from outside (the plan, the report): regular files only, so
// that a FIFO cannot hold the run and a device cannot feed it without end; read up to a limit;
// and appended to one whole line per system call, so that a line never goes out in pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CPlanFile {
  public:
    enum class Mode {
        Read,
        Append,  // created when missing; also readable, and may be cut short
    };

    CPlanFile() = default;
    ~CPlanFile();
    CPlanFile(const CPlanFile&) = delete;
    CPlanFile& operator=(const CPlanFile&) = delete;

    // False with `reason` (the system's words, or kNotRegular) when the file cannot be used.
    bool Open(const std::string& path, Mode mode, std::string& reason);
    // The whole file from its start. False with `reason` when it cannot be read, or when it is
    // larger than `maxBytes` (reason then empty).
    bool ReadAll(std::size_t maxBytes, std::string& text, std::string& reason);
    bool Truncate(std::uint64_t size, std::string& reason);
    // `bytes` at the end of the file in one write. False unless all went out: `written` says
    // how many did, and `reason` is the system's words, empty for a short write.
    bool Append(const std::string& bytes, std::size_t& written, std::string& reason);

  private:
    std::intptr_t m_handle = -1;
};

constexpr const char* kNotRegularFile =
    "it is not a regular file (a folder, pipe, device or socket)";
