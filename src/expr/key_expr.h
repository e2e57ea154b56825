// The key expressions of an index and its FOR condition: compiled once from
// their text against the fields of a table, then evaluated for one record
// at a time without allocating.
//
// compile() turns the text into a flat array of instructions, children
// before their parent, each writing one value slot; it sizes every buffer a
// character value needs from the field lengths and literals, once. An
// evaluation (make_key, holds) is one pass over that array: no heap, no
// recursion, no failure. Every value is defined for every record, whatever
// its bytes: division by zero gives 0, a substring out of range gives the
// part that exists (often none), a negative length gives "", a number too
// wide for STR gives asterisks, a date that is not a calendar date is the
// empty date.
//
// The language is the xBase one real keys use, names in any case and
// spaces anywhere between tokens:
// - fields by name, also as ALIAS->NAME, FIELD->NAME, ALIAS->(expression);
//   any alias names the one table given, but M-> and MEMVAR-> name memory
//   variables of the application (see app_function). A name longer than ten
//   letters matches a field of ten by its first ten, as the language reads
//   it. A memo field cannot be used: its text is in the memo file, not the
//   table.
// - literals: '...', "..." and [...]; numbers with or without decimals;
//   .T. .F. .Y. .N.
// - + and - on text (- moves the left side's trailing spaces to the end),
//   + - * / % ** ^ and unary - + on numbers, date + number, number + date,
//   date - number, date - date;
// - = == != <> # < <= > >= on two values of one type ($ on text): text = is
//   xBase's, true when the right side is a prefix of the left, and ==
//   compares whole texts; .AND. .OR. .NOT. and !, each evaluated in full;
// - the functions ABS ALLTRIM ASC AT CHR DAY DELETED DESCEND DOW DTOS EMPTY
//   IF IIF INT LEFT LEN LOWER LTRIM MAX MIN MONTH PADC PADL PADR RECNO
//   REPLICATE RIGHT ROUND RTRIM SPACE STOD STR STRTRAN STRZERO SUBSTR TRIM
//   UPPER VAL YEAR, each also by any unambiguous abbreviation of four letters or
//   more (SUBS, SUBST, UPPE, ALLT). UPPER and LOWER change ASCII letters
//   only. Any other name called is a function of the application.
//
// Numbers. A value from a field, a literal or VAL, and what + - * % INT
// ROUND ABS make of such values, is held exactly, as a 64-bit integer and a
// count of decimals (up to 18): any 18 digits, and 19 up to 2^63 - 1, are
// exact, so STR gives back the digits an N field stores. A result that
// would not fit, and most quotients, powers and everything made from them,
// is a double, which STR rounds as the language does, its half up with the
// double's own error allowed for. A quotient that ends within six more decimals stays exact.
//
// STRTRAN(s, find [, with [, start [, count]]]) replaces the occurrences of
// find in s, left to right and none overlapping, by with ("" when not
// given): from the start-th (1 when not given or below 1) on, count of them
// (all when not given, none when below 1); an empty find changes nothing.
//
// STR(n [, len [, dec]]): len defaults to 10 and dec to 0, except STR of a
// numeric field alone, which takes the field's length and decimals; a
// length below 1 is 10, decimals below 0 are 0, and decimals that leave no
// room for a digit and the point (dec > len - 2) are cut to len - 2. A half
// rounds away from zero; no minus sign is written for a value that rounds to
// zero; a number too wide is len asterisks.
#pragma once

#include "dbf_layout.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace expr {

enum class Type : std::uint8_t { character, numeric, date, logical };

// Limits on what compile() accepts; beyond them it sets `error`.
inline constexpr std::size_t max_text = 4096;      // bytes of expression text
inline constexpr int max_depth = 64;               // nesting of parentheses, calls, unary operators
inline constexpr std::size_t max_string = 65535;   // longest text value; longer ones are cut
inline constexpr std::size_t max_scratch = 1 << 20;  // bytes of text buffers of one program

// A number: mantissa / 10^scale when exact, otherwise approx.
struct Number {
    std::int64_t mantissa = 0;
    double approx = 0;
    std::int8_t scale = 0;  // 0 to 18
    bool exact = true;
};

// The value of one instruction. Only the member of its type is meaningful.
struct Value {
    const std::uint8_t* text = nullptr;  // character: into the record, a buffer or a literal
    std::uint32_t length = 0;
    std::int32_t date = 0;  // date: YYYYMMDD as a number (20230115), 0 the empty date
    bool truth = false;    // logical
    Number number;         // numeric
};

enum class Op : std::uint8_t;

// One step: reads the value slots named by a, b, c (or the `args` from
// first_arg), writes slot `out`.
struct Instr {
    Op op{};
    std::uint8_t sub = 0;  // the comparison, pad side, STR variant...
    std::uint32_t out = 0;
    std::uint32_t a = 0, b = 0, c = 0;
    std::uint32_t first_arg = 0, arg_count = 0;
    std::uint32_t buffer = 0, capacity = 0;  // own text buffer, in Program::text
    std::uint32_t at = 0, length = 0;        // a field's place in the record
    std::int32_t width = 0, decimals = 0;    // STR's, when fixed at compile time
};

// One run of a key built by copying: a field's bytes (or its DTOS), or a
// literal's, in Program::text.
struct Piece {
    enum Source : std::uint8_t { field, field_dtos, literal };
    Source source = field;
    std::uint8_t case_from = 0;  // 'a' for UPPER, 'A' for LOWER, 0 as it stands
    std::uint32_t at = 0, length = 0;
};

// The compiled form and its working memory. Constants are in their value
// slots from compile() on, so the program moves but does not copy (a copy
// would point into the other's buffers).
struct Program {
    std::vector<Instr> code;
    std::vector<std::uint32_t> args;
    std::vector<Value> values;        // one slot per node
    std::vector<std::uint8_t> text;   // text buffers and literals
    std::vector<std::uint16_t> table; // partial-match tables of $ and AT
    std::uint32_t result = 0;         // the slot holding the expression's value
    Type type = Type::character;      // the result's type, as Compiled::type
    // Set when the value is a run of fields and literals joined by +, the
    // most common key: make_key then copies them and skips the instructions.
    std::vector<Piece> pieces;
    bool direct = false;
    // The fields the text names, as indexes into the fields it was compiled
    // against, each once, in the order first named: every evaluation reads
    // them all.
    std::vector<std::uint32_t> fields_read;

    Program() = default;
    Program(Program&&) = default;
    Program& operator=(Program&&) = default;
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;
};

struct Compiled {
    Program program;
    Type type = Type::character;  // the result's type
    // Non-empty: the text cannot be compiled, and says why, with the 1-based
    // byte position where there is one ("unknown field NAMEX", "unbalanced
    // parenthesis at 12", "expression nested too deeply"). The program is
    // then empty and must not be evaluated.
    std::string error;
    // Non-empty: the text compiles but uses what only the application knows:
    // the first such name, upper case, as written ("MES_ANO", "DTOC", "CTOD",
    // "M->NAME"). DTOC and CTOD are among them, as their text follows the
    // application's date format. Its value is not computed: such a call
    // gives an empty value of every type (its type, and `type` when it
    // reaches the result, are a guess), so a key made from it means nothing.
    std::string app_function;
    // The size of the key the value makes in a new index: a character
    // value's longest length, 8 for a date, 1 for a logical, and a number's
    // width and decimals as STR writes it (a numeric field's own, or 10 and
    // 0).
    std::uint32_t key_length = 0;
    std::uint32_t key_decimals = 0;
};

// Compiles `text` against the table's fields (their offsets count from the
// record's start, byte 0 being the deletion flag).
Compiled compile(std::string_view text, std::span<const dbf::Field> fields);

// Writes into `key` (all of it: its size is the index's key size) the key the
// index stores for `record` (its bytes as stored, deletion flag first) with
// record number `recno`:
// - character: the text cut or padded with spaces;
// - numeric: STR(value, key.size(), key_decimals) with its leading spaces
//   written as 0; when negative, its minus sign also written as 0 and then
//   every digit byte d written as 5Ch - d ('0' as ','); asterisks stay;
// - date: YYYYMMDD, 8 spaces for the empty date, cut or padded;
// - logical: T or F, padded.
// Never reads outside `record`: a field beyond its end reads as empty.
void make_key(Program& p, dbf::Bytes record, std::uint32_t recno, std::span<std::uint8_t> key,
              unsigned key_decimals);

// A FOR condition's value for a record; false when the program's result is
// not logical (the caller checks Compiled::type).
bool holds(Program& p, dbf::Bytes record, std::uint32_t recno);

// The expression's value for a record, in the program's result slot (its
// text valid until the next evaluation or the program's end), for callers
// that need more than a key.
const Value& evaluate(Program& p, dbf::Bytes record, std::uint32_t recno);

// STR(n, width, decimals) into exactly `out.size()` bytes (the width), as
// described above; make_key and the STR function both use it.
void format_number(const Number& n, int decimals, std::span<std::uint8_t> out);

}  // namespace expr
