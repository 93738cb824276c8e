// A FastCGI server's side of the protocol, for tests: starts one of the
// registry's programs as a responder on a listening socket, the way a web
// server does, and sends it requests one after another. POSIX only.
#ifndef TESTS_SUPPORT_FASTCGI_H
#define TESTS_SUPPORT_FASTCGI_H

#include <sys/types.h>

#include <map>
#include <string>

namespace testing_support {

struct FastcgiReply {
    bool ended = false;   // the responder sent the request's end record
    int app_status = -1;  // the application status of the end record
    std::string out;      // the request's standard output stream (the reply)
    std::string err;      // its standard error stream, then what the
                          // responder process wrote on its own standard
                          // error while it served the request
};

class FastcgiResponder {
  public:
    // Starts program with a listening Unix socket (in a fresh folder) as its
    // standard input, a file as its standard error and exactly the
    // variables of env as its environment.
    FastcgiResponder(const std::string &program, const std::map<std::string, std::string> &env);
    // Ends the responder (stop) and removes the socket.
    ~FastcgiResponder();
    FastcgiResponder(const FastcgiResponder &) = delete;
    FastcgiResponder &operator=(const FastcgiResponder &) = delete;

    // One request over a new connection: the BEGIN_REQUEST record (role
    // responder, connection closed after the request), params, then body as
    // standard input in records of at most 65535 bytes. Returns what came
    // back until the responder closed the connection.
    FastcgiReply request(const std::map<std::string, std::string> &params,
                         const std::string &body = "");

    // Sends a request like request(), reads at most keep bytes of what comes
    // back and closes the connection, like a web server whose client went
    // away in the middle of the reply.
    void abandon(const std::map<std::string, std::string> &params, size_t keep);

    // Asks the responder to stop after the request it serves (SIGUSR1, on
    // which libfcgi's accept gives up) and waits for it, at most 10 s before
    // it is killed. Returns its exit status (128 + signal when a signal
    // ended it); -1 when it had already been stopped.
    int stop();

    pid_t pid() const { return pid_; }
    // true while the responder process runs.
    bool alive() const;
    // The number of the responder's open file descriptors that are not
    // sockets (/proc), -1 when unknown: what a request may leave open (a
    // file, a pipe), without the connection that the responder is still
    // closing after a reply.
    int open_files() const;

  private:
    std::string dir_;
    std::string socket_path_;
    std::string stderr_path_;
    size_t stderr_seen_ = 0;  // bytes of the standard error file already returned
    pid_t pid_ = -1;
};

}  // namespace testing_support

#endif
