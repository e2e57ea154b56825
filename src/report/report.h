// Report lines on standard output. Text is gathered in one fixed buffer and
// sent in large writes when standard output is redirected, and line by line
// when it is a terminal, so that a long walk is seen as it goes.
#pragma once

#include <cstdint>
#include <string_view>

void put_text(std::string_view text);
// Text taken from the file. On a terminal or console its control bytes are
// shown in caret notation (^[ for ESC), so that a hostile key cannot move
// the cursor, forge lines or send the terminal commands; redirected output
// gets the bytes as stored.
void put_stored_text(std::string_view text);
// Text from the file in caret notation wherever the report goes, so that
// every byte of it can be seen (a checker's message quoting a key).
void put_shown_text(std::string_view text);
// Signed decimal, right-aligned in at least `width` characters (%*d).
void put_dec(std::int64_t value, int width = 0);
// Lowercase hexadecimal without prefix or leading zeros (%x).
void put_hex(std::uint32_t value);
void end_line();

// A whole item line, "%7i recno: %3i Key: %s", newline included: the one
// line a large walk prints millions of times, so it is formatted in place.
// The key is stored text, shown as put_stored_text shows it.
void put_item_line(std::uint32_t j, std::int32_t recno, std::string_view key);

// Sends everything still buffered and ends the process. A report that
// could not be written in full never ends with status 0.
[[noreturn]] void end_run(int status);

// Ends the message line already begun and the run, with status 1.
[[noreturn]] void fail();

// Sends everything still buffered; false when some of the report could
// not be written.
bool flush_report();

// After what the report already holds, one line on standard error: `text`,
// `path` and `rest`, the path shown as put_stored_text shows text on a
// terminal when standard error is one. Ends the process with `status`.
[[noreturn]] void end_with_error(std::string_view text, std::string_view path,
                                 std::string_view rest, int status);
