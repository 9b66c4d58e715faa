// The simulator's end of a pseudo-terminal: the master it reads and writes, the slave it keeps
// open (so the loader may close and reopen the port freely) and the link published to it.
#pragma once

#include <cstddef>
#include <string>

class PtyPort {
  public:
    PtyPort() = default;
    ~PtyPort();
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

    // Creates the pair: master non-blocking, slave raw so that no byte is changed or echoed.
    bool Open(std::string& error);
    // Points `linkPath` at the slave, replacing an existing symlink (never any other file).
    bool Publish(const std::string& linkPath, std::string& error);
    void Close();  // closes both ends and removes the link if it still points at the slave

    int Master() const { return m_master; }
    const std::string& SlavePath() const { return m_slavePath; }
    // The speed the loader last set on the port, in bit/s; 0 when it cannot be told.
    int LineBaud() const;
    // Bytes the loader wrote that the head has not read yet.
    std::size_t QueuedForHead() const;
    // Lets go of the slave, so that the master hangs up (POLLHUP) once the loader has closed
    // the port too.
    void CloseSlave();

  private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_slavePath;
    std::string m_linkPath;
};
