// The request guard as a table: requests in, verdicts out.
#include "web/request_guard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A POST as the guard sees it, on a controller named "ctl" reached at
// 127.0.0.1:8080; an empty text is one the request does not carry.
struct Request {
    std::string origin, referer, scheme, https;
    std::string host = "127.0.0.1:8080";
    std::string addr = "127.0.0.1", port = "8080";
};

// The allowed hosts file of every row: a blank before a name, a comment, an
// IPv6 address in brackets, and a comment line whose tail names a host.
const std::string ALLOWED =
    "  controller.example\n# a comment\n[fd00::5]\n#" + std::string(298, 'x') + " rebind.example\n";

const char *text(const std::string &s) {
    return s.empty() ? nullptr : s.c_str();
}

// The verdict on a request with this allowed hosts file ("" when it is taken).
std::string verdict(const Request &r, const std::string &allowed = ALLOWED,
                    const char *ignored = nullptr) {
    GuardRequest g = {text(r.host),   text(r.origin), text(r.referer), text(r.scheme),
                      text(r.https),  text(r.addr),   text(r.port),    "ctl",
                      allowed.data(), allowed.size(), ignored};
    char why[2048];
    const char *refused = request_refusal(g, why, sizeof why);
    return refused ? refused : "";
}

// The refusal of a request from a page of another site.
std::string from_other_site(const std::string &server, const std::string &sender) {
    return "Changes are accepted only from the pages of this server (" + server +
           "), but this request came from " + sender +
           ". Nothing was changed. Open this server's own page and use its buttons.";
}

// The refusal of a request not addressed to one of the server's own names;
// `listed` is the name it asks to list, `ignored` why the file was ignored.
std::string not_addressed(const Request &r, const std::string &listed,
                          const std::string &ignored = "") {
    std::string to = r.host.empty() ? "named no server" : "was addressed to " + r.host;
    std::string addr = r.addr.find(':') != std::string::npos ? "[" + r.addr + "]" : r.addr;
    std::string hint = " Open this page under the controller's address (http://" + addr +
                       (r.port.empty() ? "" : ":" + r.port) + "/)";
    if (!listed.empty())
        hint += ", or list " + listed + " in /opt/tarvo_update/etc/hosts_allowed" +
                (ignored.empty() ? "" : " (the file there is ignored: " + ignored + ")");
    return "Changes are accepted only when addressed to this server by its own address or name, "
           "but this request " +
           to + ". Nothing was changed." + hint + ".";
}

// A request from a page of another site (or one that names none) is
// refused; one from the server's own pages, or one that names no page, is
// taken.  The scheme counts when the server names it.
TEST(RequestGuard, TheSendingPageMustBeThisServers) {
    const std::string self = "127.0.0.1:8080";
    struct Row {
        Request request; // origin, referer, scheme, https
        std::string verdict;
    };
    const std::vector<Row> rows = {
        {{"http://evil.example", "", "", ""}, from_other_site(self, "http://evil.example")},
        {{"http://127.0.0.1:8081", "", "", ""}, from_other_site(self, "http://127.0.0.1:8081")},
        {{"null", "", "", ""}, from_other_site(self, "null")},
        {{"http://evil.example", "http://127.0.0.1:8080/index.cgi", "", ""},
         from_other_site(self, "http://evil.example")},
        {{"", "http://evil.example/index.cgi?x=1", "", ""},
         from_other_site(self, "http://evil.example")},
        {{"", "http://127.0.0.1:8080.evil.example/", "", ""},
         from_other_site(self, "http://127.0.0.1:8080.evil.example")},
        {{"", "https://127.0.0.1:8080/index.cgi", "http", ""},
         from_other_site("http://" + self, "https://127.0.0.1:8080")},
        {{"http://127.0.0.1:8080", "", "", "on"},
         from_other_site("https://" + self, "http://127.0.0.1:8080")},
        {{"http://<b>&x", "", "", ""}, from_other_site(self, "http://&lt;b&gt;&amp;x")},
        {{"http://127.0.0.1:8080", "", "", ""}, ""},
        {{"", "", "", ""}, ""},
        {{"", "http://127.0.0.1:8080/index.cgi", "http", ""}, ""},
        {{"HTTPS://127.0.0.1:8080", "http://127.0.0.1:8080/index.cgi", "", "on"}, ""},
    };
    for (const Row &row : rows)
        EXPECT_EQ(verdict(row.request), row.verdict)
            << row.request.origin << " " << row.request.referer;
}

// A page of another site reaching the controller under its own name (DNS
// rebinding) sends a matching Host and Origin: the Host must be one of the
// server's own names with the port the request came to.
TEST(RequestGuard, TheHostMustBeOneOfTheServersOwnNames) {
    struct Row {
        std::string host, addr, port, https;
        bool taken;
        std::string listed; // the name the refusal asks to list
    };
    const std::vector<Row> rows = {
        {"attacker.example:8080", "127.0.0.1", "8080", "", false, "attacker.example"},
        {"", "127.0.0.1", "8080", "", false, ""},
        {"127.0.0.1:8081", "127.0.0.1", "8080", "", false, ""},
        {"127.0.0.1", "127.0.0.1", "8080", "", false, ""},
        {"::1:8080", "::1", "8080", "", false, ""},
        {"controller.example.evil:8080", "127.0.0.1", "8080", "", false, "controller.example.evil"},
        {"controller.example:8080", "127.0.0.1", "", "", false, ""},
        {"rebind.example:8080", "127.0.0.1", "8080", "", false, "rebind.example"},
        {"127.0.0.1:8080", "127.0.0.1", "8080", "", true, ""},
        {"127.0.0.1:8080", "::ffff:127.0.0.1", "8080", "", true, ""},
        {"[::1]:8080", "::1", "8080", "", true, ""},
        {"ctl:8080", "127.0.0.1", "8080", "", true, ""},
        {"CTL.local:8080", "127.0.0.1", "8080", "", true, ""},
        {"Controller.Example:8080", "127.0.0.1", "8080", "", true, ""},
        {"[fd00::5]:8080", "127.0.0.1", "8080", "", true, ""},
        {"controller.example", "127.0.0.1", "80", "", true, ""},
        {"controller.example", "127.0.0.1", "443", "on", true, ""},
    };
    for (const Row &row : rows) {
        Request r;
        r.host = row.host;
        r.origin = row.host.empty() ? "" : (row.https.empty() ? "http://" : "https://") + row.host;
        r.addr = row.addr;
        r.port = row.port;
        r.https = row.https;
        EXPECT_EQ(verdict(r), row.taken ? "" : not_addressed(r, row.listed)) << row.host;
    }
    // An ignored file lists nothing, and the refusal says why it was ignored.
    Request listed;
    listed.host = "controller.example:8080";
    EXPECT_EQ(verdict(listed, "", "it is not a regular file"),
              not_addressed(listed, "controller.example", "it is not a regular file"));
}

} // namespace
