#include "web/html.h"

#include <cstdio>
#include <cstring>

const MenuEntry MENU[] = {
    {"Status", nullptr},        {"System Log", "slog.cgi"},
    {"Configuration", nullptr}, {"Automatic Update", "index.cgi"},
    {"Customization", nullptr}, {"Return", "../../module.cgi"},
    {nullptr, nullptr},
};

const FirmwareOption firmware_options[] = {
    {"4x BI", "V1a2a3b4b5b6b7o.hex"},
    {"3x BI + 1x CNT", "V1a2a3c4b5b6b7o.hex"},
    {"2x BI + 2x CNT", "V1a2a3c4c5b6b7o.hex"},
    {nullptr, nullptr},
};

HtmlKitState html_kit = {false, 0, 2, false};

namespace {

void close_row_and_table() {
    if (html_kit.row_cells != 0) {
        std::fputs("</tr>", stdout);
        html_kit.row_cells = 0;
    }
    if (html_kit.table_open) {
        std::fputs("</table>", stdout);
        html_kit.table_open = false;
    }
}

// The character reference that stands for c in a page, or null when c
// stands for itself.
const char *html_entity(char c) {
    switch (c) {
    case '&':
        return "&amp;";
    case '<':
        return "&lt;";
    case '>':
        return "&gt;";
    default:
        return nullptr;
    }
}

} // namespace

void html_page_begin(const char *title) {
    std::printf(
        "Content-Type: text/html\nCache-Control: no-cache\nPragma: no-cache\n\n<!DOCTYPE HTML "
        "PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n<html>\n\n<head>\n<meta "
        "http-equiv=\"Content-Type\" content=\"text/html; charset=iso-8859-1\">\n<meta "
        "http-equiv=\"Content-Style-Type\" content=\"text/css\">\n<meta "
        "http-equiv=\"Content-Script-Type\" content=\"text/javascript\">\n<title>%s</"
        "title>\n<style type=\"text/css\">\n<!--\nbody, table, tr, td, a {\n  font-size: 12px; "
        "font-family: Verdana, Arial, Helvetica, sans-serif;\n}\ninput, select, option, "
        "textarea, button {\n  font-size: 13.3333px;\n}\nform, input {\n  margin: 0px;\n}\npre "
        "{\n  margin: 10px 0px 10px 0px;\n}\nh2 {\n  font-size: 24px; margin-bottom: 3px;\n}\na "
        "{\n  color: #0033CC; text-decoration: none;\n}\na:hover {\n  text-decoration: "
        "underline;\n}\n.logo {\n  color: #000080; text-shadow: #B0C0E0 2px 2px 2px; filter: "
        "shadow(color=#B0C0E0, direction=145, strength=4);\n}\n.window {\n  background-color: "
        "#F4F4F4;\n}\n.title {\n  color: #FFFFFF; background-color: #000080; border-color: "
        "#000080; font-weight: bold;\n}\n.header {\n  color: #000000; background-color: "
        "#C8D8FF;\n}\n.input {\n  width: 165px;\n}\n-->\n</style>\n</head>\n\n<body "
        "bgcolor=\"#FFFFFF\">\n",
        title);
}

void html_page_end() {
    std::fputs("</body>\n\n</html>\n", stdout);
    std::fflush(stdout);
}

void html_frame_begin(const char *logo, const char *window_title, const char *action,
                      const MenuEntry *menu) {
    std::printf("<table width=\"100%%\" cellspacing=\"2\" cellpadding=\"2\" border=\"0\">\n  "
                "<tr>\n    <td nowrap class=\"logo\"><h2>%s</h2></td>\n  </tr>\n</table>\n<table "
                "width=\"100%%\" cellspacing=\"2\" cellpadding=\"2\" border=\"0\">\n  <tr>\n    "
                "<td valign=\"top\" width=\"1%%\">\n      <table width=\"200\" cellspacing=\"0\" "
                "cellpadding=\"5\" border=\"3\" class=\"window\">\n",
                logo);
    const MenuEntry *entry = menu;
    while (entry->label) {
        std::printf("        <tr>\n          <td nowrap class=\"title\">%s</td>\n        </tr>\n "
                    "       <tr>\n          <td>\n            <table cellspacing=\"2\" "
                    "cellpadding=\"1\">\n",
                    entry->label);
        for (++entry; entry->link; ++entry)
            std::printf("              <tr><td nowrap><a href=\"%s\">%s</a></td></tr>\n",
                        entry->link, entry->label);
        std::fputs("            </table>\n          </td>\n        </tr>\n", stdout);
    }
    std::fputs("      </table>\n    </td>\n    <td valign=\"top\" width=\"99%\">\n", stdout);
    std::printf("      <form name=\"f\" action=\"%s\" method=\"post\">\n", action);
    html_kit.form_open = true;
    std::printf("      <table width=\"100%%\" cellspacing=\"0\" cellpadding=\"5\" border=\"3\" "
                "class=\"window\">\n        <tr>\n          <td align=\"center\" "
                "class=\"title\">%s</td>\n        </tr>\n        <tr>\n          <td>",
                window_title);
}

void html_frame_end() {
    if (html_kit.row_cells != 0)
        std::fputs("</tr>", stdout);
    if (html_kit.table_open)
        std::fputs("</table>", stdout);
    std::fputs("</td>\n        </tr>\n      </table>\n", stdout);
    if (html_kit.form_open)
        std::fputs("      </form>\n", stdout);
    std::fputs("    </td>\n  </tr>\n</table>\n", stdout);
}

void html_layout(unsigned columns) {
    close_row_and_table();
    html_kit.row_columns = columns;
}

void html_section_break() {
    close_row_and_table();
    std::fputs("</td></tr><tr><td>", stdout);
}

void html_cell_begin() {
    if (!html_kit.table_open)
        std::fputs("<table>", stdout);
    if (html_kit.row_cells == 0) {
        std::fputs("<tr>", stdout);
        html_kit.table_open = true;
    }
    std::fputs("<td nowrap>", stdout);
    ++html_kit.row_cells;
}

void html_cell_end() {
    if (html_kit.row_cells < html_kit.row_columns) {
        std::fputs("</td>", stdout);
    } else {
        std::fputs("</td></tr>", stdout);
        html_kit.row_cells = 0;
    }
}

void html_wide_row_begin(bool header) {
    if (!html_kit.table_open) {
        std::fputs("<table width=\"100%\">", stdout);
        html_kit.table_open = true;
    }
    if (header)
        std::fputs("<tr><td nowrap align=\"center\" class=\"header\">", stdout);
    else
        std::fputs("<tr><td nowrap><pre>\n", stdout);
}

void html_text(const char *text) {
    html_cell_begin();
    std::fputs(text, stdout);
    html_cell_end();
}

void html_row_text(const char *text) {
    if (html_kit.row_cells != 0) {
        std::fputs("</tr>", stdout);
        html_kit.row_cells = 0;
    }
    if (!html_kit.table_open) {
        std::fputs("<table>", stdout);
        html_kit.table_open = true;
    }
    std::printf("<tr><td nowrap colspan=\"%u\">%s</td></tr>", html_kit.row_columns, text);
}

void html_select(const char *name, const char *current, const FirmwareOption *options) {
    html_cell_begin();
    std::printf("<select %s name=\"%s\">", "class=\"input\"", name);
    for (const FirmwareOption *o = options; o->label; ++o)
        std::printf("<option value=\"%s\"%s>%s", o->file,
                    std::strcmp(o->file, current) == 0 ? " selected" : "", o->label);
    std::fputs("</select>", stdout);
    html_cell_end();
}

void html_submit(const char *name, const char *value) {
    html_cell_begin();
    std::printf("<input type=\"submit\" name=\"%s\" value=\"%s\">", name, value);
    html_cell_end();
}

void html_header_row(const char *text) {
    html_wide_row_begin(true);
    std::fputs(text, stdout);
    std::fputs("</td></tr>", stdout);
}

void html_message_box(bool ok, const char *title, const char *text, const char *link,
                      const char *label) {
    std::printf(
        "<center>\n<form name=\"f\" action=\"\">\n<table cellspacing=\"0\" cellpadding=\"5\" "
        "border=\"3\" class=\"window\">\n  <tr>\n    <td bgcolor=\"#%06X\" align=\"center\"><font "
        "color=\"#FFFFFF\"><b>%s</b></font></td>\n  </tr>\n  <tr>\n    <td>\n      <table>\n     "
        "   <tr align=\"center\">\n          <td>%s</td>\n        </tr>\n        <tr "
        "align=\"center\">\n          <td id=\"button\"><a href=\"%s\">&raquo; %s "
        "&laquo;</a></td>\n        </tr>\n      </table>\n    </td>\n  "
        "</tr>\n</table>\n</form>\n</center>\n<script "
        "type=\"text/javascript\">\n<!--\ndocument.getElementById('button').innerHTML = '<input "
        "type=\"button\" name=\"button\" value=\"%s\" "
        "onclick=\"location.href=\\'%s\\'\">';\ndocument.f.button.focus();\n//-->\n</script>\n",
        ok ? 0x008000u : 0x800000u, title, text, link, label, label, link);
}

void html_config_result(bool saved, const char *link) {
    html_message_box(saved, "Configuration",
                     saved ? "Configuration successfully updated."
                           : "Error during configuration update.",
                     link, "Back");
}

void html_escaped(const char *text, unsigned long size) {
    for (unsigned long i = 0; i < size; ++i) {
        if (const char *entity = html_entity(text[i]))
            std::fputs(entity, stdout);
        else
            std::putc(text[i], stdout);
    }
}

void html_escape_into(char *out, unsigned long size, const char *text) {
    if (size == 0)
        return;
    unsigned long used = 0;
    for (; *text; ++text) {
        const char *entity = html_entity(*text);
        unsigned long n = entity ? std::strlen(entity) : 1;
        if (used + n >= size)
            break;
        if (entity)
            std::memcpy(out + used, entity, n);
        else
            out[used] = *text;
        used += n;
    }
    out[used] = '\0';
}
