#include "web/cgi_input.h"

#include "common/paths.h"
#include "common/safe_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

char *cgi_form_data = nullptr;

namespace {

// Body bytes read ahead from standard input but not yet taken.  A refill asks
// for no more than the body still holds, so nothing past it is read.
char body_buffer[65536];
std::size_t body_pos = 0, body_len = 0;

bool next_body_byte(std::size_t remaining, char *c) {
    if (body_pos == body_len) {
        body_pos = body_len = 0;
        std::size_t want = remaining < sizeof body_buffer ? remaining : sizeof body_buffer;
        ssize_t n;
        do {
            n = read(0, body_buffer, want);
        } while (n < 0 && errno == EINTR);
        if (n <= 0)
            return false;
        body_len = static_cast<std::size_t>(n);
    }
    *c = body_buffer[body_pos++];
    return true;
}

constexpr std::array<unsigned char, 128> make_field_chars() {
    std::array<unsigned char, 128> table{};
    constexpr std::string_view allowed = " !#%*+,-./0123456789:=?@"
                                         "ABCDEFGHIJKLMNOPQRSTUVWXYZ[]_"
                                         "abcdefghijklmnopqrstuvwxyz{}~";
    for (char c : allowed)
        table[static_cast<unsigned char>(c)] = 1;
    return table;
}

// Parses a decimal length made of digits only.  False for anything else, and
// for values above `limit`.
bool parse_length(const char *text, std::size_t limit, std::size_t *length) {
    if (!text || !*text)
        return false;
    std::size_t value = 0;
    for (const char *p = text; *p; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        value = value * 10 + static_cast<std::size_t>(*p - '0');
        if (value > limit)
            return false;
    }
    *length = value;
    return true;
}

// Where a multipart request stores its file part.
const char *upload_path() {
    static const LocalPath upload(PATH_UPLOAD);
    return upload.path;
}

// Reads up to `size` bytes from standard input, until they have all arrived or
// the input ends.  Returns the number of bytes read.
std::size_t read_body(char *buffer, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        ssize_t n = read(0, buffer + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

void read_post() {
    std::size_t length = 0;
    if (!parse_length(std::getenv("CONTENT_LENGTH"), CGI_MAX_POST_BODY, &length))
        return;
    char *body = static_cast<char *>(std::malloc(length + 1));
    if (!body)
        return;
    if (read_body(body, length) != length) {
        std::free(body);
        return;
    }
    body[length] = '\0';
    cgi_form_data = body;
}

// The upload file of the part being read, and how much of it is written.
struct Upload {
    int fd = -1;
    std::size_t written = 0;
};

// The upload file that this process made (device and inode), so that only
// that file is ever removed again.
bool upload_made = false;
dev_t upload_dev = 0;
ino_t upload_ino = 0;
// Why the last file part could not be stored, or null.
const char *upload_problem = nullptr;

void upload_close(Upload *up) {
    if (up->fd >= 0)
        close(up->fd);
    up->fd = -1;
    up->written = 0;
}

// Removes the upload file when the path still names the one this process made.
void upload_remove() {
    struct stat st;
    if (upload_made && lstat(upload_path(), &st) == 0 && st.st_dev == upload_dev &&
        st.st_ino == upload_ino)
        unlink(upload_path());
    upload_made = false;
}

// Makes the upload file: always a new regular file of this process, readable
// by this user only.  Whatever another request or user left at the fixed
// path (a file, a link, a FIFO) is removed first, never opened: the file is
// created exclusively, without following a link and without waiting.  A name
// that cannot be removed (another user's file in a sticky /tmp) or is put
// back at once makes the upload fail.  Returns the descriptor or -1.
int upload_create(const char *path) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        unlink(path);
        int fd =
            open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0) {
            upload_problem = "The upload file " PATH_UPLOAD " cannot be created.";
            return -1;
        }
        struct stat st;
        if (fstat(fd, &st) != 0) {
            close(fd);
            upload_problem = "The upload file " PATH_UPLOAD " cannot be created.";
            return -1;
        }
        upload_made = true;
        upload_dev = st.st_dev;
        upload_ino = st.st_ino;
        // Created just now, so only a link made to it since then can fail this.
        if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != geteuid()) {
            close(fd);
            upload_remove();
            upload_problem = "The upload file " PATH_UPLOAD " was tampered with.";
            return -1;
        }
        fchmod(fd, 0600);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return fd;
    }
    upload_problem =
        "A file that cannot be removed is in the way of the upload file " PATH_UPLOAD ".";
    return -1;
}

// Appends to the upload file; false when the upload has grown too large.
bool upload_write(Upload *up, const char *data, std::size_t size) {
    if (up->fd < 0 || size == 0)
        return true;
    if (size > CGI_MAX_UPLOAD - up->written)
        return false;
    up->written += size;
    // A full disk leaves a short file; the request still counts as read.
    write_fully(up->fd, data, size);
    return true;
}

// Gives up a too large upload: no file and no input.
void upload_abort(Upload *up) {
    upload_close(up);
    upload_remove();
    std::free(cgi_form_data);
    cgi_form_data = nullptr;
}

// Percent-encodes every byte but letters, digits and "-._~" of text[0..len)
// into out, which holds 3 * len + 1 bytes, so that the text is one value of
// the form data whatever it holds.
void url_encode_into(char *out, const char *text, std::size_t len) {
    static const char hex[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '.' || c == '_' || c == '~';
        if (plain) {
            *out++ = static_cast<char>(c);
        } else {
            *out++ = '%';
            *out++ = hex[c >> 4];
            *out++ = hex[c & 0x0F];
        }
    }
    *out = '\0';
}

// Starts a file part: the form data names the stored file and the sent name,
// encoded so that no name adds a field.
void upload_begin(Upload *up, const char *name, std::size_t name_len) {
    const char *path = upload_path();
    std::size_t size = std::strlen(path) + 3 * name_len + 64;
    char *data = static_cast<char *>(std::malloc(size));
    if (data) {
        int head = std::snprintf(data, size, "filename=%s&name=", path);
        url_encode_into(data + head, name, name_len);
        std::free(cgi_form_data);
        cgi_form_data = data;
    }
    upload_close(up);
    upload_remove();
    upload_problem = nullptr;
    up->fd = upload_create(path);
    up->written = 0;
}

void read_multipart() {
    std::size_t remaining = 0;
    if (!parse_length(std::getenv("CONTENT_LENGTH"), static_cast<std::size_t>(-1) / 10 - 10,
                      &remaining))
        return;
    const char *type = std::getenv("CONTENT_TYPE");
    const char *b = type ? std::strstr(type, "boundary=") : nullptr;
    if (!b)
        return;
    const char *boundary = b + std::strlen("boundary=");
    std::size_t boundary_len = std::strlen(boundary);

    static char line[CGI_LINE_SIZE];
    static char held[CGI_LINE_SIZE];
    body_pos = body_len = 0;
    cgi_read_line(line, &remaining);

    Upload up;
    for (;;) {
        std::size_t n = cgi_read_line(line, &remaining);
        if (n == 0)
            break;
        if (const char *f = std::strstr(line, "filename=\"")) {
            const char *name = f + std::strlen("filename=\"");
            const char *end = std::strchr(name, '"');
            std::size_t name_len = end ? static_cast<std::size_t>(end - name) : std::strlen(name);
            if (name_len > 0)
                upload_begin(&up, name, name_len);
        }
        // The rest of the part's header, up to its empty line.
        for (;;) {
            n = cgi_read_line(line, &remaining);
            if (n == 0) {
                upload_close(&up);
                return;
            }
            if (n >= 2 && line[0] == '\r' && line[1] == '\n')
                break;
        }
        // Data: each line is held back until the next one shows whether it
        // is the last, whose CR LF belongs to the boundary.
        std::size_t held_len = 0;
        bool have_held = false;
        for (;;) {
            n = cgi_read_line(line, &remaining);
            if (n == 0) {
                upload_close(&up);
                return;
            }
            if (boundary_len == 0 || memmem(line, n, boundary, boundary_len)) {
                if (have_held && held_len > 2 && !upload_write(&up, held, held_len - 2)) {
                    upload_abort(&up);
                    return;
                }
                upload_close(&up);
                break;
            }
            if (have_held && !upload_write(&up, held, held_len)) {
                upload_abort(&up);
                return;
            }
            std::memcpy(held, line, n);
            held_len = n;
            have_held = true;
        }
    }
    upload_close(&up);
}

int hex_value(unsigned char c) {
    return c > 0x40 ? (c & 0xDF) - 0x37 : c - 0x30;
}

// Copies text up to (not including) `stop` or the end, turning "+" into a blank.
const char *take_until(const char *p, char stop, char *out) {
    while (*p && *p != stop) {
        *out++ = *p == '+' ? ' ' : *p;
        ++p;
    }
    *out = '\0';
    return *p == stop ? p + 1 : p;
}

char *empty_string() {
    return static_cast<char *>(std::calloc(1, 1));
}

} // namespace

const std::array<unsigned char, 128> cgi_field_chars = make_field_chars();

std::size_t cgi_read_line(char *buffer, std::size_t *remaining) {
    std::size_t stored = 0;
    while (*remaining != 0 && stored < CGI_LINE_SIZE - 1) {
        char c;
        if (!next_body_byte(*remaining, &c))
            break;
        --*remaining;
        buffer[stored++] = c;
        if (c == '\n')
            break;
    }
    buffer[stored] = '\0';
    return stored;
}

void cgi_read_input() {
    if (cgi_form_data)
        return;
    const char *type = std::getenv("CONTENT_TYPE");
    if (type && std::strstr(type, "multipart/form-data")) {
        read_multipart();
        return;
    }
    const char *method = std::getenv("REQUEST_METHOD");
    if (!method)
        return;
    if (std::strcmp(method, "POST") == 0) {
        read_post();
    } else if (std::strcmp(method, "GET") == 0) {
        if (const char *query = std::getenv("QUERY_STRING"))
            cgi_form_data = strdup(query);
    }
}

bool cgi_has_input() {
    return cgi_form_data && *cgi_form_data;
}

void cgi_url_decode(char *text) {
    char *out = text;
    for (const char *p = text; *p;) {
        if (p[0] == '%' && p[1] && p[2]) {
            int v = 16 * hex_value(static_cast<unsigned char>(p[1])) +
                    hex_value(static_cast<unsigned char>(p[2]));
            *out++ = static_cast<char>(v & 0xFF);
            p += 3;
        } else {
            *out++ = *p++;
        }
    }
    *out = '\0';
}

bool cgi_get_value(const char *name, char **out) {
    if (!cgi_form_data) {
        *out = empty_string();
        return true;
    }
    std::size_t size = std::strlen(cgi_form_data) + 1;
    char *pair_name = static_cast<char *>(std::malloc(size));
    char *pair_value = static_cast<char *>(std::malloc(size));
    if (!pair_name || !pair_value) {
        std::free(pair_name);
        std::free(pair_value);
        *out = empty_string();
        return true;
    }
    for (const char *p = cgi_form_data; *p;) {
        p = take_until(p, '=', pair_name);
        p = take_until(p, '&', pair_value);
        cgi_url_decode(pair_name);
        if (std::strcmp(pair_name, name) == 0) {
            std::free(pair_name);
            cgi_url_decode(pair_value);
            *out = pair_value;
            return true;
        }
    }
    std::free(pair_name);
    std::free(pair_value);
    *out = empty_string();
    return true;
}

bool cgi_get_field(const char *name, char **out, bool strip_blanks) {
    cgi_get_value(name, out);
    char *value = *out;
    if (!value)
        return true;
    char *kept = value;
    for (const char *p = value; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x80 || !cgi_field_chars[c] || (strip_blanks && c == ' '))
            continue;
        *kept++ = *p;
    }
    *kept = '\0';
    return true;
}

void cgi_free_input() {
    if (!cgi_form_data)
        return;
    std::free(cgi_form_data);
    cgi_form_data = nullptr;
    upload_remove();
    upload_problem = nullptr;
}

const char *cgi_upload_problem() {
    return upload_problem;
}
