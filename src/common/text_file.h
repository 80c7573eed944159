// text_file: a text file in a chosen encoding, read or written line by line.
//
// Encodings: 0 the system's narrow text (UTF-8 here, no byte-order mark), 1 UTF-16LE (FF FE),
// 2 UTF-16BE (FE FF), 3 UTF-32LE (FF FE 00 00), 4 UTF-32BE (00 00 FE FF), 5 UTF-8 (EF BB BF).
// Opening with a mode that contains "w" writes the encoding's byte-order mark; a mode with "r"
// starts reading just behind the mark's length without checking its bytes.
//
// A text_file belongs to whoever opened it and is used by one thread at a time.
#pragma once

#include <string>

struct text_file;

enum : int {
    TEXT_FILE_SYSTEM = 0,
    TEXT_FILE_UTF16LE = 1,
    TEXT_FILE_UTF16BE = 2,
    TEXT_FILE_UTF32LE = 3,
    TEXT_FILE_UTF32BE = 4,
    TEXT_FILE_UTF8 = 5,
};

// Opens path (UTF-16, or UTF-8 for the _a form) with a mode such as "rb" or "wb+".
// Null on failure.
text_file *text_file_open(const char16_t *path, const char *mode, int encoding);
text_file *text_file_open_a(const char *path, const char *mode, int encoding);
void text_file_close(text_file *file);

// Writes the text and a line end (CR LF in the file's encoding). Encodings 3 and 4 are not
// written. Returns whether everything was written.
bool text_file_write_line(text_file *file, const char16_t *text);

// Reads the next line without its line end; carriage returns are dropped. False at the end of
// the file. A last line without a line feed is still delivered.
bool text_file_read_line(text_file *file, std::u16string *line);
