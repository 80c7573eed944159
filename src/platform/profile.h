// profile: the profile-file reader behind nivo.ini (section names, whole sections, single keys).
//
// On Windows these are the system's GetPrivateProfile*A functions; on POSIX a reader of our own
// with the same observable results. Paths and texts are narrow (UTF-8 here). The file is read
// afresh on every call; nothing is cached, so the functions may be called from any thread.
//
// File format, as this reader understands it:
//   - lines end with a line feed; white space (blank, tab, CR, VT, FF) at both ends of a line is
//     removed, so CR LF files read like LF files; a NUL byte ends its line's text;
//   - blank lines and lines whose first character is ";" (comments) are skipped;
//   - "[name]" starts a section; the name runs to the last "]" and is trimmed. A line starting
//     with "[" but without "]" is an ordinary entry of the current section;
//   - every other line is an entry of the current section, handed on as it stands after the
//     trimming of its ends: blanks around "=" stay, and a line without "=" is an entry too (the
//     caller decides what to make of it). Lines before the first section belong to none;
//   - section names are compared without regard to case. A section named twice is one section:
//     its name is listed once, where it first appears, and its entries are those of every
//     occurrence in file order;
//   - a UTF-8 byte-order mark at the start of the file is skipped.
#pragma once

// Fills buffer with the section names, each terminated by a zero byte, and a second zero byte
// after the last. Returns the bytes stored without the final zero. When the names do not all fit,
// the buffer holds those that fit (cut, doubly terminated) and the result is size - 2: the
// caller's sign of a too small buffer. A missing file gives an empty list (0).
unsigned long platform_profile_section_names(char *buffer, unsigned long size, const char *path);

// Fills buffer with the entries of the section ("key=value" lines), each terminated by a zero
// byte, and a second zero byte after the last. Returns as platform_profile_section_names, with
// size - 2 when the entries do not all fit. A missing file or section gives 0.
unsigned long platform_profile_section(const char *section, char *buffer, unsigned long size,
                                       const char *path);

// The value of key in section: the first entry whose text before "=", trimmed, equals key
// without regard to case. The value is trimmed, and one pair of enclosing single or double
// quotation marks is removed. Without such an entry (or file) the default is used, its trailing
// blanks removed (null is the empty text). Stores at most size - 1 bytes and a zero; returns the
// bytes stored without the zero (size - 1 when the value was cut).
unsigned long platform_profile_string(const char *section, const char *key,
                                      const char *default_value, char *buffer, unsigned long size,
                                      const char *path);
