// Reading a small file whole: the firmware image, a key or signature file, the
// web pages' list of allowed host names.  Only a regular file is read, and only
// up to a bound, so that a FIFO, a device or a file that keeps growing can
// neither block nor flood the reader.
#pragma once

enum SmallFileResult {
    SMALL_FILE_UNREADABLE = -1,  // fstat or read failed: errno says why
    SMALL_FILE_NOT_REGULAR = -2, // a FIFO, a device, a directory, ...
    SMALL_FILE_TOO_LARGE = -3,   // more than `capacity` bytes
};

// Reads the whole of the regular file open on `fd` into `buffer`, which holds
// capacity + 1 bytes: its length, or one of the results above.  One byte more
// than may be there is asked for, so that a file that grows while it is read
// is too large as well.
long read_small_file(int fd, char *buffer, long capacity);
