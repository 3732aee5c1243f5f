// The page kit: rows and tables opened and closed by the cell calls, the
// selector, the menu and the message box.
#include "tests/web/web_test_util.h"
#include "web/html.h"

#include <gtest/gtest.h>

using web_test::capture_stdout;

namespace {

class HtmlKit : public ::testing::Test {
  protected:
    void SetUp() override { html_kit = {false, 0, 2, false}; }
};

TEST_F(HtmlKit, CellsFillRowsOfTheLayoutWidth) {
    std::string out = capture_stdout([] {
        html_layout(3);
        html_text("x");
        html_text("y");
        html_text("z");
        html_text("w");
    });
    EXPECT_EQ(out, "<table><tr><td nowrap>x</td><td nowrap>y</td><td nowrap>z</td></tr>"
                   "<tr><td nowrap>w</td>");
    EXPECT_TRUE(html_kit.table_open);
    EXPECT_EQ(html_kit.row_cells, 1u);
}

TEST_F(HtmlKit, SectionBreakClosesWhatIsOpen) {
    std::string out = capture_stdout([] {
        html_layout(3);
        html_text("x");
        html_text("y");
        html_section_break();
        html_section_break();
    });
    EXPECT_EQ(out, "<table><tr><td nowrap>x</td><td nowrap>y</td></tr></table>"
                   "</td></tr><tr><td></td></tr><tr><td>");
    EXPECT_FALSE(html_kit.table_open);
    EXPECT_EQ(html_kit.row_cells, 0u);
    EXPECT_EQ(html_kit.row_columns, 3u);
}

TEST_F(HtmlKit, FullRowEndsWithoutAnOpenRowAtTheFrameEnd) {
    std::string out = capture_stdout([] {
        html_layout(2);
        html_submit("button", "Save Log");
        html_submit("button", "Save Report");
        html_frame_end();
    });
    EXPECT_EQ(out, "<table><tr><td nowrap><input type=\"submit\" name=\"button\" value=\"Save "
                   "Log\"></td><td nowrap><input type=\"submit\" name=\"button\" value=\"Save "
                   "Report\"></td></tr></table></td>\n        </tr>\n      </table>\n    "
                   "</td>\n  </tr>\n</table>\n");
}

TEST_F(HtmlKit, WideRowsShareOneFullWidthTable) {
    std::string out = capture_stdout([] {
        html_header_row("System Messages");
        html_wide_row_begin(false);
        std::fputs("log", stdout);
        html_layout(1);
    });
    EXPECT_EQ(out, "<table width=\"100%\"><tr><td nowrap align=\"center\" "
                   "class=\"header\">System Messages</td></tr><tr><td nowrap><pre>\nlog</table>");
}

TEST_F(HtmlKit, SelectorMarksOnlyTheExactCurrentFile) {
    auto select = [](const char *current) {
        return capture_stdout([&] { html_select("firmware1", current, firmware_options); });
    };
    const std::string head = "<table><tr><td nowrap><select class=\"input\" name=\"firmware1\">";
    EXPECT_EQ(select("V1a2a3c4b5b6b7o.hex"),
              head + "<option value=\"V1a2a3b4b5b6b7o.hex\">4x BI<option "
                     "value=\"V1a2a3c4b5b6b7o.hex\" selected>3x BI + 1x CNT<option "
                     "value=\"V1a2a3c4c5b6b7o.hex\">2x BI + 2x CNT</select></td>");
    for (const char *none : {"", "v1a2a3c4b5b6b7o.hex", "V1a2a3c4b5b6b7o"}) {
        html_kit = {false, 0, 2, false};
        EXPECT_EQ(select(none).find("selected"), std::string::npos) << none;
    }
}

// The program's own menu and the green box are checked byte for byte on the
// pages; here the menu walk with other group shapes and the red box.
TEST_F(HtmlKit, MenuGroupsWithSeveralOrNoLinks) {
    const MenuEntry menu[] = {
        {"H1", nullptr}, {"a", "a.cgi"}, {"b", "b.cgi"}, {"H2", nullptr}, {nullptr, nullptr}};
    std::string out = capture_stdout([&] { html_frame_begin("L", "W", "x", menu); });
    EXPECT_NE(out.find("<a href=\"a.cgi\">a</a></td></tr>\n              <tr><td nowrap><a "
                       "href=\"b.cgi\">b</a></td></tr>\n            </table>"),
              std::string::npos);
    EXPECT_NE(out.find("class=\"title\">H2</td>\n        </tr>\n        <tr>\n          <td>\n"
                       "            <table cellspacing=\"2\" cellpadding=\"1\">\n            "
                       "</table>\n          </td>\n        </tr>\n      </table>\n"),
              std::string::npos);
    EXPECT_TRUE(html_kit.form_open);
}

TEST_F(HtmlKit, FailedSaveBoxIsDarkRed) {
    std::string bad = capture_stdout([] { html_config_result(false, "index.cgi"); });
    EXPECT_NE(bad.find("<td bgcolor=\"#800000\" align=\"center\"><font "
                       "color=\"#FFFFFF\"><b>Configuration</b>"),
              std::string::npos);
    EXPECT_NE(bad.find("<td>Error during configuration update.</td>"), std::string::npos);
}

TEST_F(HtmlKit, PageEndAndEscaping) {
    EXPECT_EQ(capture_stdout([] { html_page_end(); }), "</body>\n\n</html>\n");
    const char text[] = "a<b>&c\0d";
    EXPECT_EQ(capture_stdout([&] { html_escaped(text, sizeof text - 1); }),
              std::string("a&lt;b&gt;&amp;c\0d", 18));
}

} // namespace
