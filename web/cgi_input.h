// Form input of a CGI request: the query string of a GET, the body of a POST,
// or a multipart/form-data body whose file part is stored in the upload file.
#pragma once

#include <array>
#include <cstddef>

// The URL-encoded pairs of the request ("name=value&..."), or null before
// cgi_read_input has stored anything.
extern char *cgi_form_data;

// Largest POST body that is read into memory.
constexpr std::size_t CGI_MAX_POST_BODY = 1024 * 1024;
// Largest file that a multipart upload may store.
constexpr std::size_t CGI_MAX_UPLOAD = 16 * 1024 * 1024;
// Size of a multipart line buffer: a line holds at most 4095 bytes.
constexpr std::size_t CGI_LINE_SIZE = 4096;

// 1 for every character 0x00..0x7F that may stay in a filtered field value.
extern const std::array<unsigned char, 128> cgi_field_chars;

// Reads the request once; later calls do nothing until cgi_free_input.
void cgi_read_input();
// True when the request carried form data that is not empty.
bool cgi_has_input();
// The decoded value of the first pair whose name is `name`, as a new heap
// string (empty when there is none).  Always true.
bool cgi_get_value(const char *name, char **out);
// cgi_get_value, then only the allowed characters are kept; with
// strip_blanks, blanks are removed as well.  Always true.
bool cgi_get_field(const char *name, char **out, bool strip_blanks);
// Frees the form data and removes the upload file that this request made.
void cgi_free_input();
// Why the file of a multipart request could not be stored (the upload file
// could not be made a new file of this process), or null.
const char *cgi_upload_problem();

// Percent decoding in place ("%4A" and "%4a" give "J").  A "%" with fewer
// than two characters after it is kept as it is.
void cgi_url_decode(char *text);
// Reads one line of the body (up to and including LF, at most
// CGI_LINE_SIZE - 1 bytes) into buffer, counting *remaining down.  Returns the
// number of bytes stored; 0 at the end of the body.
std::size_t cgi_read_line(char *buffer, std::size_t *remaining);
