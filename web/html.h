// The page kit: HTTP header and HTML head, the frame with logo, menu and
// window, layout cells, selectors, buttons and message boxes.  Everything is
// printed to standard output in call order; texts are printed unchanged.
#pragma once

// A menu entry: a heading (link null), a link of the group above, or the end
// of the menu (label and link null).
struct MenuEntry {
    const char *label;
    const char *link;
};

// A firmware image offered by a selector; a null label ends the list.
struct FirmwareOption {
    const char *label;
    const char *file;
};

extern const MenuEntry MENU[];
extern const FirmwareOption firmware_options[];

// Table state between the cell calls of one page.
struct HtmlKitState {
    bool table_open;
    unsigned row_cells;
    unsigned row_columns;
    bool form_open;
};
extern HtmlKitState html_kit;

void html_page_begin(const char *title);
void html_page_end();
void html_frame_begin(const char *logo, const char *window_title, const char *action,
                      const MenuEntry *menu);
void html_frame_end();
void html_layout(unsigned columns);
void html_section_break();
void html_cell_begin();
void html_cell_end();
void html_wide_row_begin(bool header);
void html_text(const char *text);
// A row of its own holding text across all columns of the layout.
void html_row_text(const char *text);
void html_select(const char *name, const char *current, const FirmwareOption *options);
void html_submit(const char *name, const char *value);
void html_header_row(const char *text);
void html_message_box(bool ok, const char *title, const char *text, const char *link,
                      const char *label);
void html_config_result(bool saved, const char *link);
// Prints text with "&", "<" and ">" written as character references.
void html_escaped(const char *text, unsigned long size);
// The same into out (size bytes, always terminated): what does not fit whole
// is left out.
void html_escape_into(char *out, unsigned long size, const char *text);
