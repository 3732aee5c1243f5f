// The three pages as processes with a CGI environment, in simulated worlds.
#include "tests/support/process.h"
#include "tests/web/web_test_util.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using testing_support::build_path;
using testing_support::file_exists;
using testing_support::read_file;
using testing_support::RunResult;
using testing_support::World;

namespace {

const std::string HEAD = R"(Content-Type: text/html
Cache-Control: no-cache
Pragma: no-cache

<!DOCTYPE HTML PUBLIC "-//W3C//DTD HTML 4.01 Transitional//EN">
<html>

<head>
<meta http-equiv="Content-Type" content="text/html; charset=iso-8859-1">
<meta http-equiv="Content-Style-Type" content="text/css">
<meta http-equiv="Content-Script-Type" content="text/javascript">
<title>TARVO FW update</title>
<style type="text/css">
<!--
body, table, tr, td, a {
  font-size: 12px; font-family: Verdana, Arial, Helvetica, sans-serif;
}
input, select, option, textarea, button {
  font-size: 13.3333px;
}
form, input {
  margin: 0px;
}
pre {
  margin: 10px 0px 10px 0px;
}
h2 {
  font-size: 24px; margin-bottom: 3px;
}
a {
  color: #0033CC; text-decoration: none;
}
a:hover {
  text-decoration: underline;
}
.logo {
  color: #000080; text-shadow: #B0C0E0 2px 2px 2px; filter: shadow(color=#B0C0E0, direction=145, strength=4);
}
.window {
  background-color: #F4F4F4;
}
.title {
  color: #FFFFFF; background-color: #000080; border-color: #000080; font-weight: bold;
}
.header {
  color: #000000; background-color: #C8D8FF;
}
.input {
  width: 165px;
}
-->
</style>
</head>

<body bgcolor="#FFFFFF">
)";

const std::string END = "</body>\n\n</html>\n";

// One section of the menu on the left: its title and one link.
std::string menu_section(const std::string &title, const std::string &href,
                         const std::string &label) {
    return "        <tr>\n          <td nowrap class=\"title\">" + title +
           "</td>\n        </tr>\n        <tr>\n          <td>\n            <table "
           "cellspacing=\"2\" cellpadding=\"1\">\n              <tr><td nowrap><a href=\"" +
           href + "\">" + label +
           "</a></td></tr>\n            </table>\n          </td>\n        </tr>\n";
}

std::string frame(const std::string &window, const std::string &action) {
    return R"(<table width="100%" cellspacing="2" cellpadding="2" border="0">
  <tr>
    <td nowrap class="logo"><h2>TARVO FW update</h2></td>
  </tr>
</table>
<table width="100%" cellspacing="2" cellpadding="2" border="0">
  <tr>
    <td valign="top" width="1%">
      <table width="200" cellspacing="0" cellpadding="5" border="3" class="window">
)" + menu_section("Status", "slog.cgi", "System Log") +
           menu_section("Configuration", "index.cgi", "Automatic Update") +
           menu_section("Customization", "../../module.cgi", "Return") + R"(      </table>
    </td>
    <td valign="top" width="99%">
      <form name="f" action=")" +
           action + R"(" method="post">
      <table width="100%" cellspacing="0" cellpadding="5" border="3" class="window">
        <tr>
          <td align="center" class="title">)" +
           window + R"(</td>
        </tr>
        <tr>
          <td>)";
}

const std::string FRAME_END = R"(</td>
        </tr>
      </table>
      </form>
    </td>
  </tr>
</table>
)";

// What a port's row says of the board of a fresh world: the factory image.
const std::string FACTORY_STATE =
    "runs V1a2a3b4b5b6b7o.hex (version 0x01000000, configuration 1a2a3b4b5b6b7o)";

std::string no_board_row(int port) {
    return "<tr><td nowrap colspan=\"4\">no TARVO board in PORT" + std::to_string(port) +
           "</td></tr>";
}

std::string port_row(int port, int selected, const std::string &state = FACTORY_STATE) {
    std::string p = std::to_string(port);
    const char *files[] = {"V1a2a3b4b5b6b7o.hex", "V1a2a3c4b5b6b7o.hex", "V1a2a3c4c5b6b7o.hex"};
    const char *labels[] = {"4x BI", "3x BI + 1x CNT", "2x BI + 2x CNT"};
    std::string row = "<tr><td nowrap>New Firmware for PORT" + p +
                      "</td><td nowrap><select class=\"input\" name=\"firmware" + p + "\">";
    for (int i = 0; i < 3; ++i)
        row += std::string("<option value=\"") + files[i] + "\"" +
               (i == selected ? " selected" : "") + ">" + labels[i];
    return row +
           "</select></td><td nowrap><input type=\"submit\" name=\"button\" value=\"Update "
           "PORT" +
           p + "\"></td><td nowrap>" + state + "</td></tr>";
}

// The form's one-time token as serve() shows it.
const std::string TOKEN = "<input type=\"hidden\" name=\"token\" value=\"TOKEN\">";

std::string index_page(const std::string &rows,
                       const std::string &history = "<tr><td nowrap colspan=\"1\">No update "
                                                    "recorded.</td></tr>") {
    std::string body = rows.empty() ? "" : "<table>" + rows + "</table>";
    return HEAD + frame("TARVO FW Changer", "set.cgi") + TOKEN + body +
           "</td></tr><tr><td><table><tr><td nowrap><input type=\"submit\" name=\"button\" "
           "value=\"Apply\"></td></tr></table></td></tr><tr><td><table width=\"100%\"><tr><td "
           "nowrap align=\"center\" class=\"header\"><a id=\"history\"></a>Update history "
           "(newest first)</td></tr>" +
           history + "</table>" + FRAME_END + END;
}

const std::string UPDATE_WINDOW = R"(<center>
<form name="f" action="">
<table cellspacing="0" cellpadding="5" border="3" class="window">
  <tr>
    <td bgcolor="#008000" align="center"><font color="#FFFFFF"><b>Flashing firmware</b></font></td>
  </tr>
  <tr>
    <td width="400em">
      <table>
        <tr>
          <td>
)"
                                  "The update takes about 2 minutes. Do not power off the "
                                  "controller or unplug the board until it has ended."
                                  "</td></tr><tr><td>";
const std::string OK_ROW = "<tr align=\"center\"><td id=\"button\"><a "
                           "href=\"index.cgi\">&raquo; OK &laquo;</a></td></tr></table></td>"
                           "</tr></table></form></center>\n";
const std::string DETAILS = " Details are on the <a href=\"slog.cgi\" style=\"color: #FFFFFF; "
                            "text-decoration: underline\">System Log</a> page.";
const std::string RETRY = "Press Update again; where boot-time recovery is installed, the next "
                          "start of the controller also tries again.";

// The end of the update window: the updater's last cell closed, the result
// row (green, or red with the title turned red), the OK row.
std::string update_end(bool ok, const std::string &text) {
    std::string row =
        "</td></tr>\n<tr><td id=\"result\" bgcolor=\"#" + std::string(ok ? "008000" : "800000") +
        "\" style=\"padding: 5px\"><font color=\"#FFFFFF\"><b>" + text + "</b></font>";
    if (!ok)
        row += "<script type=\"text/javascript\">\n<!--\nvar title = "
               "document.f.getElementsByTagName('td')[0];\ntitle.bgColor = '#800000';\n"
               "title.getElementsByTagName('b')[0].innerHTML = 'Flashing firmware failed';\n"
               "//-->\n</script>";
    return row + "</td></tr>\n" + OK_ROW;
}

// A box with a coloured title, a text and a Back button to the index page.
std::string message_box(const std::string &colour, const std::string &title,
                        const std::string &text) {
    return "<center>\n<form name=\"f\" action=\"\">\n<table cellspacing=\"0\" cellpadding=\"5\" "
           "border=\"3\" class=\"window\">\n  <tr>\n    <td bgcolor=\"#" +
           colour + "\" align=\"center\"><font color=\"#FFFFFF\"><b>" + title +
           "</b></font></td>\n  </tr>\n  <tr>\n    <td>\n      <table>\n        <tr "
           "align=\"center\">\n          <td>" +
           text +
           "</td>\n        </tr>\n        <tr align=\"center\">\n          <td id=\"button\"><a "
           "href=\"index.cgi\">&raquo; Back &laquo;</a></td>\n        </tr>\n      </table>\n    "
           "</td>\n  </tr>\n</table>\n</form>\n</center>\n<script type=\"text/javascript\">\n<!--\n"
           "document.getElementById('button').innerHTML = '<input type=\"button\" "
           "name=\"button\" value=\"Back\" onclick=\"location.href=\\'index.cgi\\'\">';\n"
           "document.f.button.focus();\n//-->\n</script>\n";
}

// The red box of a request refused for coming from another site.
std::string refused_box(const std::string &server, const std::string &sender) {
    return message_box("800000", "Request refused",
                       "Changes are accepted only from the pages of this server (" + server +
                           "), but this request came from " + sender +
                           ". Nothing was changed. Open this server's own page and use its "
                           "buttons.");
}

std::string config_box(bool ok, const std::string &saved = "") {
    return ok ? message_box("008000", "Configuration", "Remembered " + saved + ".")
              : message_box("800000", "Configuration", "Error during configuration update.");
}

// Every refusal of a request carries its HTTP status.
const std::string REFUSED_HEAD = "Status: 403 Forbidden\n" + HEAD;

// The CGI variables of a request; every one not given is removed.
struct Request {
    std::string method = "POST";
    std::string body;
    std::string query;
    std::string length; // default: the body's size
    std::string origin;
    std::string host = "127.0.0.1:8080";
    std::string server_addr = "127.0.0.1"; // SERVER_ADDR
    std::string server_port = "8080";      // SERVER_PORT
    std::string referer;
    std::string scheme; // REQUEST_SCHEME
    std::string https;  // HTTPS
    std::string type;   // CONTENT_TYPE
};

// A request of this method with this body, query string and length (empty:
// the body's size); the rest as by default.
Request form(const std::string &method, const std::string &body, const std::string &query = "",
             const std::string &length = "") {
    Request r;
    r.method = method;
    r.body = body;
    r.query = query;
    r.length = length;
    return r;
}

// Under an emulator (a cross build) an ARM program cannot start another one
// by itself: the programs the pages start (the world's links to them) run
// through it.  A stand-in put there by a test is left as it is.
void start_through_emulator(const World &w) {
    const std::string emulator = TARVO_TEST_EMULATOR;
    if (emulator.empty())
        return;
    for (const char *program : {"tarvo_info", "tarvo_update"}) {
        std::string path = w.path(std::string("/opt/tarvo_update/bin/") + program);
        if (!std::filesystem::is_symlink(path))
            continue;
        std::filesystem::remove(path);
        std::ofstream(path) << "#!/bin/sh\nexec " << emulator << " "
                            << build_path(std::string("sim/") + program) << " \"$@\"\n";
        chmod(path.c_str(), 0755);
    }
}

// A token as the index page makes one: the time and 16 random digits.
std::string fresh_token() {
    static unsigned serial = 0;
    char token[32];
    std::snprintf(token, sizeof token, "%08lx%08x%08x", static_cast<unsigned long>(time(nullptr)),
                  static_cast<unsigned>(getpid()), ++serial);
    return token;
}

// The page with the index page's token shown as "TOKEN".
RunResult tokenless(RunResult result) {
    const std::string field = "name=\"token\" value=\"";
    auto at = result.out.find(field);
    if (at != std::string::npos)
        result.out.replace(at + field.size(),
                           result.out.find('"', at + field.size()) - at - field.size(), "TOKEN");
    return result;
}

// Serves the page.  An update request without a token gets a fresh one, as
// the index page's form carries; the index page's token reads "TOKEN".
RunResult serve(const World &w, const std::string &name, Request r = {}) {
    if (r.body.find("button=Update") != std::string::npos &&
        r.body.find("token=") == std::string::npos)
        r.body += "&token=" + fresh_token();
    start_through_emulator(w);
    std::vector<std::string> env{w.env(),
                                 "TARVO_SIM_SPEED=",
                                 "TARVO_SIM_TRACE=",
                                 "CONTENT_TYPE=" + r.type,
                                 "REQUEST_METHOD=" + r.method,
                                 "QUERY_STRING=" + r.query,
                                 "CONTENT_LENGTH=" +
                                     (r.length.empty() ? std::to_string(r.body.size()) : r.length),
                                 "HTTP_ORIGIN=" + r.origin,
                                 "HTTP_HOST=" + r.host,
                                 "SERVER_ADDR=" + r.server_addr,
                                 "SERVER_PORT=" + r.server_port,
                                 "HTTP_REFERER=" + r.referer,
                                 "REQUEST_SCHEME=" + r.scheme,
                                 "HTTPS=" + r.https};
    return tokenless(testing_support::run({build_path("sim/" + name)}, env, r.body));
}

std::string settings(const World &w) {
    return read_file(w.path("/opt/tarvo_update/etc/settings"));
}

// Puts a stand-in for the updater into the world that prints its arguments
// (or the given output) and ends with the given status.
void fake_updater(const World &w, int status = 4, const std::string &output = "") {
    std::string path = w.path("/opt/tarvo_update/bin/tarvo_update");
    std::filesystem::remove(path);
    std::string print = output.empty() ? "printf 'args:'; for a in \"$@\"; do printf '[%s]' "
                                         "\"$a\"; done\nprintf '</td></tr><tr><td>'\n"
                                       : "printf '%s' '" + output + "'\n";
    std::ofstream(path) << "#!/bin/sh\n" << print << "exit " << status << "\n";
    chmod(path.c_str(), 0755);
}

const std::string STAGE_FAILED =
    "The update of PORT1 failed, and the board may be left without firmware. " + RETRY + DETAILS;

TEST(IndexPage, ShowsAPortRowOnlyForTarvoBoards) {
    {
        World w("tarvo", "tarvo");
        auto r = serve(w, "index.cgi");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, index_page(port_row(1, -1) + port_row(2, -1)));
    }
    {
        World w("other", "tarvo");
        EXPECT_EQ(serve(w, "index.cgi").out, index_page(no_board_row(1) + port_row(2, -1)));
    }
    {
        World w("tarvo", "none");
        EXPECT_EQ(serve(w, "index.cgi").out, index_page(port_row(1, -1) + no_board_row(2)));
    }
    {
        World w("none", "other");
        EXPECT_EQ(serve(w, "index.cgi").out, index_page(no_board_row(1) + no_board_row(2)));
    }
}

// Beside each selector: an interrupted update left pending, an update
// running now (on this port or the other), and a page that refuses a second
// update names the port being updated.
TEST(IndexPage, ShowsInterruptedAndRunningUpdates) {
    World w;
    const std::string image = "V1a2a3c4b5b6b7o.hex";
    w.sim({"fault", w.root(), "1", "erase-silent"});
    ASSERT_EQ(w.update({"1", image}).status, 4);
    std::string page = serve(w, "index.cgi").out;
    const std::string pending = "<td nowrap><font color=\"#800000\">no answer</font>; <font "
                                "color=\"#800000\">interrupted update of " +
                                image + " pending since 20";
    EXPECT_NE(page.find(pending), std::string::npos) << page;
    EXPECT_NE(page.find(port_row(2, -1)), std::string::npos);
    // Once boot recovery has tried three times, the page says it gave up.
    const std::string record_path = w.path("/opt/tarvo_update/state/PORT1");
    std::string record = read_file(record_path);
    const std::string tried = "attempts=1\n";
    ASSERT_NE(record.find(tried), std::string::npos) << record;
    testing_support::write_file(record_path,
                                record.replace(record.find(tried), tried.size(), "attempts=3\n"));
    page = serve(w, "index.cgi").out;
    EXPECT_NE(page.find("; recovery gave up after 3 tries: update this port by hand</font>"),
              std::string::npos)
        << page;
    EXPECT_TRUE(w.info({"1"}).out.ends_with(
        "; recovery gave up after 3 tries: update this port by hand\n"));

    auto running = w.spawn_update({"2", image}, {"TARVO_SIM_SPEED=5"});
    // Running once it has found the board (it holds the lock from before).
    std::string said;
    char buf[256];
    while (said.find("found") == std::string::npos) {
        ssize_t n = read(running.out_fd, buf, sizeof buf);
        ASSERT_GT(n, 0) << said;
        said.append(buf, static_cast<std::size_t>(n));
    }
    page = serve(w, "index.cgi").out;
    EXPECT_NE(page.find("<td nowrap>not asked: an update of PORT2 is running; last update "),
              std::string::npos)
        << page;
    EXPECT_NE(page.find(port_row(2, -1, "update running")), std::string::npos) << page;
    Request req;
    req.body = "button=Update+PORT1&firmware1=" + image;
    std::string refused = serve(w, "set.cgi", req).out;
    const std::string pid = std::to_string(running.pid);
    kill(running.pid, SIGKILL);
    testing_support::finish(running);
    EXPECT_NE(refused.find("Another update was running; this one did not start. At the update "
                           "lock: Another update is running (pid " +
                           pid + "): PORT2 is being updated."),
              std::string::npos)
        << refused;
    // Each port's last outcome, and the history, newest first.
    page = serve(w, "index.cgi").out;
    EXPECT_NE(page.find(": " + image + ", <font color=\"#800000\">Another update was running"),
              std::string::npos)
        << page;
    auto busy = page.find("PORT1 " + image + ": Another update was running");
    auto failed = page.find("PORT1 " + image +
                            ": The update failed while the board was being "
                            "written; the board may have no working firmware. "
                            "At the erase: no answer from the loader to the "
                            "mass erase.");
    EXPECT_NE(busy, std::string::npos) << page;
    EXPECT_NE(failed, std::string::npos) << page;
    EXPECT_LT(busy, failed);
}

TEST(IndexPage, SelectorsArePresetFromTheSettingsFile) {
    World w;
    testing_support::write_file(w.path("/opt/tarvo_update/etc/settings"),
                                "MOD_TARVOUPDATE_FIRMWARE2=\"V1a2a3c4c5b6b7o.hex\"\r\n"
                                "mod_tarvoupdate_firmware1=V1a2a3c4b5b6b7o.hex\n");
    EXPECT_EQ(serve(w, "index.cgi").out, index_page(port_row(1, 1) + port_row(2, 2)));
    testing_support::write_file(w.path("/opt/tarvo_update/etc/settings"),
                                "MOD_TARVOUPDATE_FIRMWARE1=other.hex\n");
    EXPECT_EQ(serve(w, "index.cgi").out, index_page(port_row(1, -1) + port_row(2, -1)));
}

TEST(IndexPage, ProductionProgramWithoutGpioDriverShowsNoPorts) {
    if (file_exists("/dev/gpio"))
        GTEST_SKIP() << "this machine has a board-type driver";
    auto r = tokenless(
        testing_support::run({build_path("index.cgi")}, {"TARVO_SIM_ROOT=", "REQUEST_METHOD="}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, index_page(no_board_row(1) + no_board_row(2)));
}

TEST(ProgramNames, OnlyTheThreeNamesPrintAPage) {
    World w;
    start_through_emulator(w);
    std::string dir = w.path("/names");
    std::filesystem::create_directories(dir);
    for (const char *name : {"status.cgi", "index.cgi.bak", "INDEX.CGI", "index.cgi"})
        std::filesystem::create_symlink(build_path("sim/index.cgi"), dir + "/" + name);
    for (const char *name : {"status.cgi", "index.cgi.bak", "INDEX.CGI"}) {
        auto r = testing_support::run({dir + "/" + name}, {w.env()});
        EXPECT_EQ(r.status, 0) << name;
        EXPECT_EQ(r.out, "") << name;
    }
    // The directory part of the name does not matter.
    EXPECT_EQ(tokenless(testing_support::run({dir + "/index.cgi"}, {w.env()})).out,
              index_page(port_row(1, -1) + port_row(2, -1)));
}

TEST(SetPage, ApplySavesBothFilteredNamesAndShowsTheGreenBox) {
    World w("none", "tarvo");
    Request req;
    req.origin = "http://127.0.0.1:8080";
    req.body = "firmware2=V1a2a3c4c5b6b7o.hex%3B+rm+%3Cx%3E&button=Apply";
    auto r = serve(w, "set.cgi", req);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              HEAD + config_box(true, "no image for PORT1 and V1a2a3c4c5b6b7o.hexrmx for PORT2") +
                  END);
    EXPECT_EQ(settings(w),
              "MOD_TARVOUPDATE_FIRMWARE1=\nMOD_TARVOUPDATE_FIRMWARE2=V1a2a3c4c5b6b7o.hexrmx\n");
    EXPECT_EQ(serve(w, "index.cgi").out, index_page(no_board_row(1) + port_row(2, -1)));
}

TEST(SetPage, UnwritableSettingsShowTheRedBoxAndKeepTheOldFile) {
    World w;
    std::filesystem::remove_all(w.path("/opt/tarvo_update/etc"));
    Request req;
    req.body = "button=Apply&firmware1=a&firmware2=b";
    EXPECT_EQ(serve(w, "set.cgi", req).out, HEAD + config_box(false) + END);
}

TEST(SetPage, UpdateRunsTheUpdaterInsideTheWindow) {
    World w;
    fake_updater(w);
    Request req;
    req.body =
        "firmware1=V1a2a3b4b5b6b7o.hex&firmware2=V1a+2%22a3c4c5b6b7o.hex&button=Update+PORT1";
    auto r = serve(w, "set.cgi", req);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, HEAD + UPDATE_WINDOW +
                         "args:[1][V1a2a3b4b5b6b7o.hex][html]</td></tr><tr><td>" +
                         update_end(false, STAGE_FAILED) + END);
    req.body.replace(req.body.size() - 1, 1, "2");
    r = serve(w, "set.cgi", req);
    std::string port2 = STAGE_FAILED;
    port2.replace(port2.find("PORT1"), 5, "PORT2");
    EXPECT_EQ(r.out, HEAD + UPDATE_WINDOW +
                         "args:[2][V1a2a3c4c5b6b7o.hex][html]</td></tr><tr><td>" +
                         update_end(false, port2) + END);
    EXPECT_FALSE(file_exists(w.path("/opt/tarvo_update/etc/settings")));
}

// The row after the updater's says how it ended, from its exit status and
// what it printed; green only when the board runs the image.
TEST(SetPage, ResultRowTellsTheOutcomeAndWhatToDo) {
    World w;
    struct Row {
        int status;
        std::string output;
        bool ok;
        std::string text;
    };
    const std::string refused = "The image V1a2a3b4b5b6b7o.hex was refused (line 5: wrong "
                                "checksum), and the board was not touched. Choose another image, "
                                "or put a good copy of it in /opt/tarvo_update/fw/, and press "
                                "Update again." +
                                DETAILS;
    const std::vector<Row> rows = {
        // The version and configuration come from asking the board afterwards.
        {0, "done</td></tr><tr><td>", true,
         "PORT1 now runs V1a2a3b4b5b6b7o.hex (version 0x01000000, configuration "
         "1a2a3b4b5b6b7o)."},
        {4, "Flashing TARVO on PORT1 ... wrwrwr failed: read-back differs</td></tr><tr><td>", false,
         "The update of PORT1 failed (Flashing TARVO on PORT1 ... failed: read-back differs), "
         "and the board may be left without firmware. " +
             RETRY + DETAILS},
        {5,
         "Checking firmware file V1a2a3b4b5b6b7o.hex ... failed: line 5: wrong "
         "checksum</td></tr><tr><td>",
         false, refused},
        // Without the check's row the sentence goes without a reason.
        {5, "Checking firmware file V1a2a3b4b5b6b7o.hex ... done</td></tr><tr><td>", false,
         "The image V1a2a3b4b5b6b7o.hex was refused, and the board was not touched. Choose "
         "another image, or put a good copy of it in /opt/tarvo_update/fw/, and press Update "
         "again." +
             DETAILS},
        {7, "Another update is running (pid 4194999)</td></tr><tr><td>", false,
         "PORT1 was not updated: another update is running (pid 4194999). Wait for that update "
         "to finish, then press Update again." +
             DETAILS},
        {9, "Cannot take the update lock: Permission denied</td></tr><tr><td>", false,
         "The update of PORT1 could not begin (Cannot take the update lock: Permission denied); "
         "the board was not touched. Press Update again; if this comes back, the installation "
         "needs a look." +
             DETAILS},
        {9,
         "Looking for TARVO on PORT1 ... <span style=\"position: relative\">failed: cannot "
         "open /dev/mem (needs root or CAP_SYS_RAWIO)</span></td></tr><tr><td>",
         false,
         "The update of PORT1 could not begin (cannot open /dev/mem (needs root or "
         "CAP_SYS_RAWIO)); the board was not touched. Press Update again; if this comes back, "
         "the installation needs a look." +
             DETAILS},
    };
    for (const Row &row : rows) {
        fake_updater(w, row.status, row.output);
        Request req;
        req.body = "button=Update+PORT1&firmware1=V1a2a3b4b5b6b7o.hex";
        EXPECT_EQ(serve(w, "set.cgi", req).out,
                  HEAD + UPDATE_WINDOW + row.output + update_end(row.ok, row.text) + END)
            << row.output;
    }
}

// A form starts its update once: sent again (a reload, the browser's resend)
// or without a token of this server, it is refused and nothing runs.
TEST(SetPage, ResentOrTokenlessFormStartsNoUpdate) {
    World w;
    fake_updater(w);
    Request req;
    req.body = "button=Update+PORT1&firmware1=V1a2a3b4b5b6b7o.hex&token=" + fresh_token();
    EXPECT_NE(serve(w, "set.cgi", req).out.find("args:[1]"), std::string::npos);
    auto again = serve(w, "set.cgi", req);
    EXPECT_TRUE(again.out.starts_with("Status: 409 Conflict\n" + HEAD)) << again.out;
    EXPECT_NE(again.out.find("This form has started its update already: a reload or a re-sent "
                             "form does not start it a second time. See how it ended in the <a "
                             "href=\"index.cgi#history\">update history</a>"),
              std::string::npos)
        << again.out;
    EXPECT_EQ(again.out.find("args:"), std::string::npos);
    for (const std::string &token :
         std::vector<std::string>{"", "0123", "00000001" + std::string(16, 'a')}) {
        req.body = "button=Update+PORT1&firmware1=V1a2a3b4b5b6b7o.hex&token=" + token;
        auto r = serve(w, "set.cgi", req);
        EXPECT_TRUE(r.out.starts_with("Status: 403 Forbidden\n")) << token;
        EXPECT_EQ(r.out.find("args:"), std::string::npos) << token;
    }
}

TEST(SetPage, UpdaterThatCannotStartLeavesOnlyTheOkRow) {
    World w;
    std::filesystem::remove(w.path("/opt/tarvo_update/bin/tarvo_update"));
    Request req;
    req.body = "button=Update+PORT1&firmware1=x.hex";
    EXPECT_EQ(serve(w, "set.cgi", req).out,
              HEAD + UPDATE_WINDOW +
                  update_end(false, "The updater /opt/tarvo_update/bin/tarvo_update could not be "
                                    "started, so nothing was changed. The installation needs a "
                                    "look.") +
                  END);
}

TEST(SetPage, SimulatedUpdaterWritesIntoTheOpenCell) {
    World w("tarvo", "none");
    Request req;
    req.body = "button=Update+PORT2&firmware2=V1a2a3b4b5b6b7o.hex";
    auto r = serve(w, "set.cgi", req);
    ASSERT_EQ(r.out.rfind(HEAD + UPDATE_WINDOW, 0), 0u);
    // The result row tells the run's outcome record.
    EXPECT_EQ(r.out, HEAD + UPDATE_WINDOW +
                         "Looking for TARVO on PORT2 ... not found</td></tr><tr><td>" +
                         update_end(false, "PORT2, V1a2a3b4b5b6b7o.hex: No TARVO board was found "
                                           "in the port; nothing was changed. At the board check: "
                                           "no TARVO board in PORT2. Check that the board sits "
                                           "in the port, then update again." +
                                               DETAILS) +
                         END);
    bool html = false;
    for (const auto &m : w.messages())
        html = html || m.text == "Using HTML output.";
    EXPECT_TRUE(html);
}

// A flashing that fails at its last block, after the whole output: the
// result row still has the stage and the reason, from the outcome record.
TEST(SetPage, FailureAtTheLastBlockIsToldWithStageAndReason) {
    World w("tarvo", "none");
    const std::string image = "V1a2a3c4b5b6b7o.hex";
    std::istringstream in(read_file(w.path("/opt/tarvo_update/fw/" + image)));
    std::string line, last;
    while (std::getline(in, line))
        if (line.size() > 9 && line.substr(7, 2) == "00")
            last = line;
    ASSERT_EQ(w.sim({"fault", w.root(), "1", "corrupt-readback=0x" + last.substr(3, 4)}).status, 0);
    Request req;
    req.body = "button=Update+PORT1&firmware1=" + image;
    auto r = serve(w, "set.cgi", req);
    EXPECT_GT(r.out.size(), 100000u);
    EXPECT_NE(r.out.find(update_end(false, "PORT1, " + image +
                                               ": The update failed while the board was being "
                                               "written; the board may have no working firmware. "
                                               "At the flashing: read-back differs from what was "
                                               "written. Update this port again; if it fails "
                                               "again, check the board and its port." +
                                               DETAILS)),
              std::string::npos)
        << r.out.substr(r.out.size() - 2000);
}

TEST(SetPage, RequestsThatChangeNothingGetAnEmptyPage) {
    World w;
    fake_updater(w);
    const std::string empty = HEAD + END;
    auto check = [&](const Request &req, const std::string &what) {
        auto r = serve(w, "set.cgi", req);
        EXPECT_EQ(r.status, 0) << what;
        EXPECT_EQ(r.out, empty) << what;
        EXPECT_FALSE(file_exists(w.path("/opt/tarvo_update/etc/settings"))) << what;
    };
    for (const char *button : {"Update+PORT3", "Update+PORT", "update+PORT1", "Update%20PORT0",
                               "Delete", "", "Apply+", "apply"}) {
        Request req;
        req.body = std::string("firmware1=a&firmware2=b&button=") + button;
        check(req, button);
    }
    check(form("GET", "", "button=Apply&firmware1=a"), "GET");
    check(form("POST", "button=Apply&firmware1=a", "", "100"), "short body");
    check(form("POST", ""), "no form data");
    check(form("PUT", "button=Apply"), "PUT");
    // An uploaded file's name is its name, not form fields.
    Request upload;
    upload.type = "multipart/form-data; boundary=XyZ";
    upload.body = "--XyZ\r\nContent-Disposition: form-data; name=\"f\"; "
                  "filename=\"a&button=Apply&firmware1=X\"\r\n\r\nnew\r\n--XyZ--\r\n";
    check(upload, "upload name with fields");
}

// A request from another site is refused before any of it is read, says so,
// and changes nothing: no settings, no updater, no upload file.
TEST(SetPage, CrossSiteRequestsAreRefusedVisibly) {
    World w;
    fake_updater(w);
    const std::string self = "127.0.0.1:8080";
    // The verdicts themselves are the request guard's table; here the page
    // that carries one out, from an Origin or a Referer.
    for (const char *button : {"Apply", "Update+PORT1"}) {
        for (bool origin : {true, false}) {
            Request req;
            req.body = std::string("firmware1=a&button=") + button;
            (origin ? req.origin : req.referer) = "http://evil.example/index.cgi?x=1";
            auto r = serve(w, "set.cgi", req);
            std::string what = std::string(button) + (origin ? " Origin" : " Referer");
            EXPECT_EQ(r.status, 0) << what;
            EXPECT_EQ(r.out, REFUSED_HEAD + refused_box(self, "http://evil.example") + END) << what;
            EXPECT_FALSE(file_exists(w.path("/opt/tarvo_update/etc/settings"))) << what;
        }
    }
    // A refused upload is not read: a file at the upload path stays as it is.
    testing_support::write_file(w.path("/tmp/upload.bin"), "keep");
    Request upload;
    upload.type = "multipart/form-data; boundary=XyZ";
    upload.body = "--XyZ\r\nContent-Disposition: form-data; name=\"f\"; filename=\"fw.hex\"\r\n\r\n"
                  "new\r\n--XyZ--\r\n";
    upload.referer = "http://evil.example/";
    EXPECT_EQ(serve(w, "set.cgi", upload).out,
              REFUSED_HEAD + refused_box(self, "http://evil.example") + END);
    EXPECT_EQ(read_file(w.path("/tmp/upload.bin")), "keep");
}

// A page of another site reaching the controller under its own name (DNS
// rebinding) sends a matching Host and Origin: the Host must be one of the
// server's own names with the port the request came to.
TEST(SetPage, ChangesOnlyThroughTheServersOwnNames) {
    World w;
    fake_updater(w);
    char name[256] = {0};
    ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
    const std::string self = name;
    const std::string allowed = w.path("/opt/tarvo_update/etc/hosts_allowed");
    testing_support::write_file(allowed, "  controller.example\n# a comment\n");
    // The verdicts themselves are the request guard's table; here the names
    // the page gathers for it: the address, the host name and the allowed
    // hosts file.  A refusal names the file and why it was ignored.
    const std::string saved = "MOD_TARVOUPDATE_FIRMWARE1=a\nMOD_TARVOUPDATE_FIRMWARE2=\n";
    auto check = [&](const std::string &host, const std::string &refusal) {
        std::filesystem::remove(w.path("/opt/tarvo_update/etc/settings"));
        Request req;
        req.body = "button=Apply&firmware1=a";
        req.host = host;
        req.origin = "http://" + host;
        auto r = serve(w, "set.cgi", req);
        if (refusal.empty()) {
            EXPECT_EQ(r.out, HEAD + config_box(true, "a for PORT1 and no image for PORT2") + END)
                << host;
            EXPECT_EQ(settings(w), saved) << host;
            return;
        }
        EXPECT_EQ(r.out.rfind(REFUSED_HEAD, 0), 0u) << host;
        EXPECT_NE(r.out.find(refusal), std::string::npos) << r.out;
        EXPECT_FALSE(file_exists(w.path("/opt/tarvo_update/etc/settings"))) << host;
    };
    for (const std::string &host : {std::string("127.0.0.1:8080"), self + ":8080",
                                    self + ".local:8080", std::string("Controller.Example:8080")})
        check(host, "");
    check("attacker.example:8080",
          "or list attacker.example in /opt/tarvo_update/etc/hosts_allowed.");
    // The allowed hosts file counts only as a small regular file: a larger
    // one, a device or a FIFO in its place neither lets a name in nor keeps
    // the request reading or waiting.
    const std::string listed = "controller.example:8080";
    const std::string ignored = "or list controller.example in /opt/tarvo_update/etc/"
                                "hosts_allowed (the file there is ignored: ";
    testing_support::write_file(allowed, "controller.example\n" + std::string(4096, '#'));
    check(listed, ignored + "it is larger than 4096 bytes).");
    std::filesystem::remove(allowed);
    std::filesystem::create_symlink("/dev/zero", allowed);
    check(listed, ignored + "it is not a regular file).");
    std::filesystem::remove(allowed);
    ASSERT_EQ(mkfifo(allowed.c_str(), 0644), 0);
    check(listed, ignored + "it is not a regular file).");
    // Nor does it run an update.
    Request update;
    update.body = "button=Update+PORT1&firmware1=a";
    update.host = "attacker.example:8080";
    update.origin = "http://" + update.host;
    EXPECT_EQ(serve(w, "set.cgi", update).out.find("args:"), std::string::npos);
}

TEST(SetPage, SameOriginOrNoOriginMaySave) {
    World w;
    struct Row {
        std::string origin, referer, scheme, https, body, saved, remembered;
    };
    const std::vector<Row> rows = {
        {"http://127.0.0.1:8080", "", "", "", "button=Apply&firmware1=a+b&firmware2=c",
         "MOD_TARVOUPDATE_FIRMWARE1=ab\nMOD_TARVOUPDATE_FIRMWARE2=c\n",
         "ab for PORT1 and c for PORT2"},
        {"", "", "", "", "button=Apply&firmware1=d",
         "MOD_TARVOUPDATE_FIRMWARE1=d\nMOD_TARVOUPDATE_FIRMWARE2=\n",
         "d for PORT1 and no image for PORT2"},
    };
    for (const Row &row : rows) {
        Request req;
        req.origin = row.origin;
        req.referer = row.referer;
        req.scheme = row.scheme;
        req.https = row.https;
        req.body = row.body;
        EXPECT_EQ(serve(w, "set.cgi", req).out, HEAD + config_box(true, row.remembered) + END)
            << row.body;
        EXPECT_EQ(settings(w), row.saved) << row.body;
    }
}

TEST(LogPage, ShowsTheLastLinesEscaped) {
    World w;
    std::string old_log, log;
    for (int i = 1; i <= 20; ++i)
        old_log += "old " + std::to_string(i) + "\n";
    for (int i = 1; i <= 9; ++i)
        log += "new " + std::to_string(i) + "\n";
    log += "<script>alert('x')</script> & more\n";
    testing_support::write_file(w.path("/var/log/messages.1"), old_log);
    testing_support::write_file(w.path("/var/log/messages"), log);
    std::string shown;
    for (int i = 6; i <= 20; ++i)
        shown += "old " + std::to_string(i) + "\n";
    for (int i = 1; i <= 9; ++i)
        shown += "new " + std::to_string(i) + "\n";
    shown += "&lt;script&gt;alert('x')&lt;/script&gt; &amp; more\n";
    Request get;
    get.method = "GET";
    auto r = serve(w, "slog.cgi", get);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, HEAD + frame("System Log", "/slog_save.cgi") +
                         "<table width=\"100%\"><tr><td nowrap align=\"center\" "
                         "class=\"header\">System Messages</td></tr><tr><td nowrap><pre>\n" +
                         shown +
                         "</pre></td></tr></table></td></tr><tr><td><table><tr><td nowrap><input "
                         "type=\"submit\" name=\"button\" value=\"Save Log\"></td><td "
                         "nowrap><input type=\"submit\" name=\"button\" value=\"Save "
                         "Report\"></td></tr></table>" +
                         FRAME_END + END);

    // Without any log file the cell is empty.
    std::filesystem::remove(w.path("/var/log/messages.1"));
    std::filesystem::remove(w.path("/var/log/messages"));
    r = serve(w, "slog.cgi");
    EXPECT_NE(r.out.find("<pre>\n</pre>"), std::string::npos);
}

} // namespace

namespace {

// The board state that the update wrote must survive the end of the page
// that started it.
TEST(SetPage, FlashedBoardKeepsItsNewConfiguration) {
    World w("tarvo", "none");
    Request req;
    req.body = "button=Update+PORT1&firmware1=V1a2a3c4c5b6b7o.hex";
    auto first = serve(w, "set.cgi", req);
    if (first.out.find("Reading new TARVO config on PORT1 ... ") == std::string::npos)
        GTEST_SKIP() << "the simulated updater does not run a whole update yet";
    EXPECT_NE(first.out.find("Reading new TARVO config on PORT1 ... 1a2a3c4c5b6b7o <font "
                             "color=\"green\">"),
              std::string::npos);
    auto second = serve(w, "set.cgi", req);
    EXPECT_NE(second.out.find("Reading current TARVO config on PORT1 ... 1a2a3c4c5b6b7o</td>"),
              std::string::npos)
        << second.out;
}

} // namespace
