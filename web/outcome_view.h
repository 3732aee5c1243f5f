// The pages' view of how updates ended, from the outcome records of the
// update history: the result row of an update, each port's last outcome and
// the history on the index page, the note before an update's progress, and
// the one-time form tokens that keep a re-sent form from starting a second
// update.
#pragma once

#include "common/ports.h"

#include <cstddef>

// The tokens are kept in PATH_FORM_TOKENS_DIR.
// How long a form may wait before it is sent; a used token is kept as long.
constexpr long FORM_TOKEN_LIFE_S = 7L * 24 * 3600;
constexpr const char *FORM_TOKEN_FIELD = "token";
// How many of the newest records the index page shows.
constexpr int HISTORY_SHOWN = 10;

// The result row's text (HTML) for the update of `port` with `file` that the
// updater with this pid ran, from its outcome record; *ok when the board now
// runs the image (the row is green).  False when there is no such record
// (the updater did not get to its end, or could not write it).
bool outcome_result_text(const PortInfo &port, const char *file, int pid, char *out,
                         std::size_t size, bool *ok);

// The port's last outcome, for the index page (HTML): "last update TIME:
// IMAGE, OUTCOME", or "" when the history has none.
void outcome_last_html(const PortInfo &port, char *out, std::size_t size);

// The rows of the newest records, for the index page's history section.
void outcome_history_rows();

// The line shown before an update's progress (HTML): about how long it takes
// (as the port's last good update took, or about 2 minutes), and not to
// power off or unplug.
void outcome_duration_note(const PortInfo &port, char *out, std::size_t size);

// A new form token: the time and random digits ("" when none can be made).
void form_token_new(char *out, std::size_t size);

enum FormTokenClaim {
    FORM_TOKEN_CLAIMED = 0, // first use: the update may start
    FORM_TOKEN_USED = 1,    // the form was sent before: a reload or a re-send
    FORM_TOKEN_BAD = 2,     // no token, or not one of this server's (or too old)
    FORM_TOKEN_FAILED = 3,  // cannot be recorded (reason in `why`)
};

// Claims the form's token for an update, once.
int form_token_claim(const char *token, char *why, std::size_t size);
