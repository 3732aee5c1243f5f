// The request guard: a POST changes something only when it is addressed to
// this server under one of its own names and comes from one of its pages.
#include "web/request_guard.h"

#include "common/paths.h"
#include "common/small_file.h"
#include "web/html.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

namespace {

// The site of a URL "scheme://host[:port][/...]": its scheme and its host
// with the port.  False when the text is not of that form.
struct Site {
    char scheme[16];
    char host[256];
};

bool url_site(const char *url, Site *site) {
    const char *sep = std::strstr(url, "://");
    if (!sep || sep == url || static_cast<std::size_t>(sep - url) >= sizeof site->scheme)
        return false;
    const char *host = sep + 3;
    std::size_t host_len = std::strcspn(host, "/?#");
    if (host_len == 0 || host_len >= sizeof site->host)
        return false;
    std::snprintf(site->scheme, sizeof site->scheme, "%.*s", static_cast<int>(sep - url), url);
    std::snprintf(site->host, sizeof site->host, "%.*s", static_cast<int>(host_len), host);
    return true;
}

// The scheme by which the client reached the server, when the server says it.
const char *server_scheme(const GuardRequest &request) {
    const char *scheme = request.request_scheme;
    if (scheme && *scheme)
        return scheme;
    const char *https = request.https;
    if (https && (strcasecmp(https, "on") == 0 || std::strcmp(https, "1") == 0))
        return "https";
    return nullptr;
}

// Splits a Host header, "name[:port]" or "[v6-address][:port]", into the
// name (brackets stripped) and the port, which without one is the scheme's
// default.  False for a text of another form.
bool split_host(const char *host, const char *scheme, char *name, std::size_t size, long *port) {
    const char *end, *rest;
    if (host[0] == '[') {
        ++host;
        end = std::strchr(host, ']');
        if (!end)
            return false;
        rest = end + 1;
    } else {
        end = host + std::strcspn(host, ":");
        rest = end;
        if (std::strchr(rest + (*rest ? 1 : 0), ':'))
            return false;
    }
    if (end == host || static_cast<std::size_t>(end - host) >= size)
        return false;
    std::snprintf(name, size, "%.*s", static_cast<int>(end - host), host);
    if (*rest == '\0') {
        *port = scheme && strcasecmp(scheme, "https") == 0 ? 443 : 80;
        return true;
    }
    if (*rest != ':' || rest[1] == '\0' || std::strlen(rest + 1) > 5 ||
        std::strspn(rest + 1, "0123456789") != std::strlen(rest + 1))
        return false;
    *port = std::strtol(rest + 1, nullptr, 10);
    return true;
}

// True when c is one of the characters of `set` (never the text's end).
bool one_of(char c, const char *set) {
    return c != '\0' && std::strchr(set, c) != nullptr;
}

// True when `name` is one the administrator lists in the allowed hosts file
// (one name per line; blanks around it, empty lines and lines starting with
// "#" are ignored; an IPv6 address may stand in brackets).  Lines are taken
// whole.
bool listed_host(const char *name, const char *text, std::size_t len) {
    std::size_t name_len = std::strlen(name);
    for (std::size_t at = 0; at < len;) {
        const char *line = text + at;
        const char *end = static_cast<const char *>(std::memchr(line, '\n', len - at));
        std::size_t line_len = end ? static_cast<std::size_t>(end - line) : len - at;
        at += line_len + 1;
        std::size_t start = 0;
        while (start < line_len && one_of(line[start], " \t["))
            ++start;
        std::size_t stop = start;
        while (stop < line_len && line[stop] && !one_of(line[stop], " \t\r]"))
            ++stop;
        std::size_t word = stop - start;
        if (word > 0 && line[start] != '#' && word == name_len &&
            strncasecmp(line + start, name, word) == 0)
            return true;
    }
    return false;
}

// SERVER_ADDR as a client names it: an IPv4 address that a dual-stack server
// reports in its IPv6 form ("::ffff:127.0.0.1") is its IPv4 address.
const char *server_address(const GuardRequest &request) {
    const char *addr = request.server_addr;
    if (addr && strncasecmp(addr, "::ffff:", 7) == 0 && std::strchr(addr + 7, '.') &&
        std::strspn(addr + 7, "0123456789.") == std::strlen(addr + 7))
        return addr + 7;
    return addr;
}

// True when `name` is this server's by itself: the address the request came
// to, the controller's host name (also with ".local"), or a listed name.
bool own_name(const GuardRequest &request, const char *name) {
    const char *addr = server_address(request);
    if (addr && *addr && strcasecmp(name, addr) == 0)
        return true;
    const char *self = request.host_name;
    if (self && self[0]) {
        char local[300];
        std::snprintf(local, sizeof local, "%.255s.local", self);
        if (strcasecmp(name, self) == 0 || strcasecmp(name, local) == 0)
            return true;
    }
    return listed_host(name, request.hosts_allowed, request.hosts_allowed_len);
}

// True when the Host header names this server: one of its own names with
// the port the request came to.  `name` gets the Host's name ("" when it
// has none), *known whether that name is one of the server's own.
bool host_is_this_server(const GuardRequest &request, const char *scheme, char *name,
                         std::size_t size, bool *known) {
    long port = 0;
    const char *host = request.host;
    *known = false;
    name[0] = '\0';
    if (!host || !split_host(host, scheme, name, size, &port))
        return false;
    *known = own_name(request, name);
    const char *server_port = request.server_port;
    return *known && server_port &&
           std::strspn(server_port, "0123456789") == std::strlen(server_port) && *server_port &&
           std::strtol(server_port, nullptr, 10) == port;
}

// The address of this server as a URL for the page ("http://10.0.0.5:8080/",
// an IPv6 address in brackets, no port when it is the scheme's own), HTML
// escaped; "" when the server does not say its address.
void server_url(const GuardRequest &request, const char *scheme, char *out, std::size_t size) {
    const char *addr = server_address(request);
    const char *port = request.server_port;
    out[0] = '\0';
    if (!addr || !*addr || std::strspn(addr, "0123456789abcdefABCDEF.:") != std::strlen(addr))
        return;
    const char *use = scheme ? scheme : "http";
    bool default_port =
        !port || !*port || (std::strcmp(port, strcasecmp(use, "https") == 0 ? "443" : "80") == 0);
    bool v6 = std::strchr(addr, ':') != nullptr;
    std::snprintf(out, size, "%.8s://%s%.64s%s%s%.8s/", use, v6 ? "[" : "", addr, v6 ? "]" : "",
                  default_port ? "" : ":", default_port ? "" : port);
}

// The refusal of a request whose Host is not one of this server's names
// (`name` is the Host's name, `known` whether it is one of the server's own).
const char *host_refusal(const GuardRequest &request, const char *scheme, const char *name,
                         bool known, char *why, std::size_t size) {
    const char *host = request.host;
    const char *ignored = request.hosts_ignored;
    char named[320] = "", listed[320] = "", url[128], address[160] = "";
    if (host)
        html_escape_into(named, sizeof named, host);
    html_escape_into(listed, sizeof listed, name);
    server_url(request, scheme, url, sizeof url);
    if (url[0])
        std::snprintf(address, sizeof address, " (%s)", url);
    char hint[900];
    // A name of the server's own that came with another port is not
    // helped by listing it.
    if (listed[0] && !known)
        std::snprintf(hint, sizeof hint,
                      " Open this page under the controller's address%s, or list %s in %s%s%s%s.",
                      address, listed, PATH_HOSTS_ALLOWED,
                      ignored ? " (the file there is ignored: " : "", ignored ? ignored : "",
                      ignored ? ")" : "");
    else
        std::snprintf(hint, sizeof hint, " Open this page under the controller's address%s.",
                      address);
    std::snprintf(why, size,
                  "Changes are accepted only when addressed to this server by its own address "
                  "or name, but this request %s%.320s. Nothing was changed.%s",
                  named[0] ? "was addressed to " : "named no server", named, hint);
    return why;
}

// The refusal of a request sent by a page `from` of another site than the
// Host names.
const char *origin_refusal(const char *host, const char *scheme, const char *from, bool parsed,
                           const Site &site, char *why, std::size_t size) {
    char sender[300], self[300], text[300];
    if (parsed)
        std::snprintf(text, sizeof text, "%s://%s", site.scheme, site.host);
    else
        std::snprintf(text, sizeof text, "%.100s", from);
    html_escape_into(sender, sizeof sender, text);
    if (scheme)
        std::snprintf(text, sizeof text, "%.16s://%.200s", scheme, host);
    else
        std::snprintf(text, sizeof text, "%.200s", host);
    html_escape_into(self, sizeof self, text);
    std::snprintf(why, size,
                  "Changes are accepted only from the pages of this server (%s), but this "
                  "request came from %s. Nothing was changed. Open this server's own page and "
                  "use its buttons.",
                  self, sender);
    return why;
}

} // namespace

const char *read_hosts_allowed(char *buf, std::size_t *len) {
    *len = 0;
    int fd = open(LocalPath(PATH_HOSTS_ALLOWED).path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? nullptr : "it cannot be read";
    long got = read_small_file(fd, buf, static_cast<long>(HOSTS_ALLOWED_MAX));
    close(fd);
    if (got == SMALL_FILE_NOT_REGULAR)
        return "it is not a regular file";
    if (got == SMALL_FILE_TOO_LARGE)
        return "it is larger than 4096 bytes";
    if (got < 0)
        return "it cannot be read";
    *len = static_cast<std::size_t>(got);
    return nullptr;
}

const char *request_refusal(const GuardRequest &request, char *why, std::size_t size) {
    // A page of another site under a name that leads here (DNS rebinding)
    // sends its own name as Host, and as Origin.
    const char *scheme = server_scheme(request);
    char name[256];
    bool known = false;
    if (!host_is_this_server(request, scheme, name, sizeof name, &known))
        return host_refusal(request, scheme, name, known, why, size);
    // The page that sent the request: its Origin, or without one its Referer;
    // a request with neither (an older browser, a privacy setting) is taken.
    const char *from = request.origin;
    if (!from) {
        from = request.referer;
        if (!from || !*from)
            return nullptr;
    }
    Site site;
    bool parsed = url_site(from, &site);
    if (parsed && strcasecmp(site.host, request.host) == 0 &&
        (!scheme || strcasecmp(site.scheme, scheme) == 0))
        return nullptr;
    return origin_refusal(request.host, scheme, from, parsed, site, why, size);
}
