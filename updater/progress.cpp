// The flashing's progress as this run shows it: a letter per step in text
// mode, the address and percentage of each block and the start of the program
// as HTML fragments for the web page.
#include "common/ports.h"
#include "updater/bsl/bsl.h"
#include "updater/run.h"

#include <cstdio>

namespace {

constexpr const char *PROGRESS_STYLE =
    "display: inline-block; position: absolute; background-color: #F4F4F4; width: 10em";

// Keeps the browser rendering the page as it streams in.
void print_padding() {
    for (int i = 0; i < 64; ++i)
        std::fputs("<!-- padding -->", stdout);
}

void letter(char c) {
    std::putchar(c);
    std::fflush(stdout);
}

void text_writing(std::uint32_t) {
    letter('w');
}
void text_written() {
    letter('r');
}
void text_starting(std::uint32_t, const PortInfo &) {
    letter('j');
}
void nothing() {}
void text_finished() {
    letter('f');
}

void html_writing(std::uint32_t device) {
    std::printf("<span style=\"%s\">&nbsp;0x%04X (&nbsp;%d&nbsp;%%)</span>", PROGRESS_STYLE, device,
                flash_progress_percent(device));
    print_padding();
    std::fflush(stdout);
}
void html_starting(std::uint32_t start, const PortInfo &port) {
    std::printf("%sStarting program at 0x%04X on PORT%d ... ", HTML_LINE_SUFFIX, start,
                port.number);
    print_padding();
    std::fflush(stdout);
}
void html_started() {
    std::fputs("done", stdout);
    std::fputs(HTML_LINE_SUFFIX, stdout);
    print_padding();
    std::fflush(stdout);
}

constexpr FlashPrinter TEXT_PRINTER = {text_writing, text_written, text_starting, nothing,
                                       text_finished};
constexpr FlashPrinter HTML_PRINTER = {html_writing, nothing, html_starting, html_started, nothing};

} // namespace

const FlashPrinter &flash_printer() {
    return html_mode ? HTML_PRINTER : TEXT_PRINTER;
}
