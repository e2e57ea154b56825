// The compiler's own types: the lexer, what it knows of each value slot, and
// the Compiler whose members expr_compiler.cpp (the grammar) and
// expr_calls.cpp (the function calls) define.
#pragma once

#include "expr_ops.h"
#include "key_expr.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace expr::detail {

// A value's type while compiling: `any` is what an application function
// gives, which fits wherever it stands.
enum class VT : std::uint8_t { character, numeric, date, logical, any };

const char* type_name(VT t);

enum class Tok : std::uint8_t {
    end, name, number, string, lparen, rparen, comma, arrow, plus, minus, star, slash,
    percent, power, relation, dollar, not_, and_, or_, true_, false_,
};

struct Token {
    Tok kind = Tok::end;
    std::size_t pos = 0, end = 0;  // 0-based, end one past the token
    std::string_view text;  // a name, a number, a string's contents
    Relation relation = eq;
};

struct Failure {
    std::string message;
};

[[noreturn]] void fail(std::string message);
std::string at_pos(std::size_t pos);
std::string upper_ascii(std::string_view s);
bool equal_nocase(std::string_view a, std::string_view b);

struct Lexer {
    std::string_view s;
    std::size_t pos = 0;
    Token tok;

    bool match_word(std::size_t from, std::string_view word) const;
    void advance();
    void scan();
};

// What the compiler knows of a value slot.
struct Meta {
    VT type = VT::any;
    std::uint32_t max_length = 0;  // character: the longest it can be
    bool constant = false;
    int field_length = -1, field_decimals = 0;  // a numeric field's, for STR
};

struct Literal {
    std::uint32_t slot, offset;
    std::string_view bytes;  // in the text being compiled
};

struct Compiler {
    Lexer lex;
    std::span<const dbf::Field> fields;
    Program p;
    std::vector<Meta> meta;
    std::vector<Literal> literals;
    std::size_t text_used = 0, table_used = 0;
    int depth = 0;
    std::string app_function;

    std::uint32_t new_slot(VT type, std::uint32_t max_length = 0);
    void budget(std::size_t more, std::size_t& used);
    std::uint32_t text_buffer(std::uint32_t capacity);
    std::uint32_t emit(Instr in, VT type, std::uint32_t max_length = 0,
                       std::uint32_t buffer = 0);
    static Instr instr(Op op, std::uint32_t a = 0, std::uint32_t b = 0, std::uint32_t c = 0,
                       std::uint8_t sub = 0);
    std::uint32_t constant_number(const Number& n);
    std::uint32_t constant_logical(bool b);
    std::uint32_t constant_text(std::string_view t);
    std::uint32_t unknown(const std::string& name, VT type);

    VT type(std::uint32_t s) const { return meta[s].type; }
    bool fits(std::uint32_t s, VT t) const { return type(s) == t || type(s) == VT::any; }
    std::uint32_t max_length(std::uint32_t s) const { return meta[s].max_length; }

    bool constant_count(std::uint32_t s, std::int64_t& n) const;

    struct Nest {
        Compiler& c;
        explicit Nest(Compiler& cc) : c(cc) {
            if (++c.depth > max_depth)
                fail("expression nested too deeply (more than " + std::to_string(max_depth) +
                     " levels)");
        }
        ~Nest() { --c.depth; }
        Nest(const Nest&) = delete;
        Nest& operator=(const Nest&) = delete;
    };

    const Token& tok() const { return lex.tok; }
    void advance() { lex.advance(); }

    std::uint32_t parse_expr();
    void need_logical(std::uint32_t a, std::uint32_t b, const char* op, std::size_t pos) const;
    std::uint32_t parse_and();
    std::uint32_t parse_not();
    std::uint32_t parse_relation();
    std::uint32_t search(Op op, std::uint32_t needle, std::uint32_t hay, VT result);
    std::uint32_t concat(const std::vector<std::uint32_t>& parts);
    std::uint32_t parse_additive();
    std::uint32_t arithmetic(bool plus, std::uint32_t a, std::uint32_t b, std::size_t pos);
    std::uint32_t parse_multiplicative();
    std::uint32_t numeric_binary(Op op, std::uint32_t a, std::uint32_t b, const char* name,
                                 std::size_t pos);
    std::uint32_t parse_power();
    std::uint32_t parse_unary();
    void expect_close(std::size_t open);
    std::uint32_t parenthesised();
    std::uint32_t parse_primary();
    std::uint32_t field(const std::string& name);
    std::uint32_t call(const std::string& name, std::size_t pos);
    template <typename Need>
    std::uint32_t str(bool zero, const std::vector<std::uint32_t>& args, const Need& need);

    void finish(std::uint32_t result);
    void find_pieces();

    static constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();

    bool pieces_of(std::uint32_t slot, std::uint8_t case_from,
                   const std::vector<std::uint32_t>& producer,
                   const std::vector<std::uint32_t>& literal_at, int depth);
};

}  // namespace expr::detail
