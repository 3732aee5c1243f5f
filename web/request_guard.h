// The request guard: whether a POST may change anything, judged from the
// request alone.  The caller gathers what the guard looks at (the request's
// headers, the server's address and port, the host name, the allowed hosts
// file); the guard itself reads nothing.
#pragma once

#include <cstddef>

// The allowed hosts file (PATH_HOSTS_ALLOWED) lists names besides its address
// and host name under which the server takes changes, one per line.
// A larger allowed hosts file, or one that is not a regular file, is ignored.
constexpr unsigned long HOSTS_ALLOWED_MAX = 4096;

// What the guard judges.  A text the request or the server does not give is
// null.
struct GuardRequest {
    const char *host;           // Host header
    const char *origin;         // Origin header
    const char *referer;        // Referer header
    const char *request_scheme; // the scheme the server says it was reached by
    const char *https;          // the server's HTTPS flag ("on" or "1")
    const char *server_addr;    // the address the request came to
    const char *server_port;    // the port the request came to
    const char *host_name;      // the controller's host name, "" when unknown
    const char *hosts_allowed;  // the allowed hosts file's text and length
    std::size_t hosts_allowed_len;
    const char *hosts_ignored; // why that file was ignored, or null
};

// Reads the allowed hosts file whole into buf (HOSTS_ALLOWED_MAX + 1 bytes):
// only a regular file of at most HOSTS_ALLOWED_MAX bytes, so that a device
// or a FIFO put in its place can neither keep a request reading nor block it
// (the file is opened without waiting).  Returns why the file is ignored, or
// null; a missing file is simply empty.
const char *read_hosts_allowed(char *buf, std::size_t *len);

// Why a POST may not change anything, as HTML text in `why`: its Host does
// not name this server (its address, host name or an allowed name, with the
// port the request came to), or its Origin (or, without one, its Referer)
// names another host than the Host, or another scheme than the one the server
// says it was reached by.  Null when it may: it is addressed to this server
// and the page that sent it is ours, or it names none.
const char *request_refusal(const GuardRequest &request, char *why, std::size_t size);
