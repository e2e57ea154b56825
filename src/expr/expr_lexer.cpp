// The lexer of key expressions, and the failures and names it shares with
// the compiler.
#include "expr_compiler.h"
#include "expr_number.h"
#include "expr_text.h"

#include <utility>

namespace expr::detail {

[[noreturn]] void fail(std::string message) { throw Failure{std::move(message)}; }

std::string at_pos(std::size_t pos) { return " at " + std::to_string(pos + 1); }

std::string upper_ascii(std::string_view s) {
    std::string u(s);
    for (char& c : u)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return u;
}

bool equal_nocase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && upper_ascii(a) == upper_ascii(b);
}

bool Lexer::match_word(std::size_t from, std::string_view word) const {
    return s.size() - from >= word.size() && equal_nocase(s.substr(from, word.size()), word);
}

void Lexer::advance() {
    scan();
    tok.end = pos;
}

void Lexer::scan() {
    while (pos < s.size() && is_blank(static_cast<std::uint8_t>(s[pos]))) ++pos;
    tok = Token{};
    tok.pos = pos;
    if (pos == s.size()) return;
    const auto c = static_cast<std::uint8_t>(s[pos]);
    const auto next = [&](std::size_t k) {
        return pos + k < s.size() ? static_cast<std::uint8_t>(s[pos + k]) : std::uint8_t{0};
    };
    const auto one = [&](Tok k, std::size_t len) {
        tok.kind = k;
        pos += len;
    };
    const auto rel = [&](Relation r, std::size_t len) {
        tok.relation = r;
        one(Tok::relation, len);
    };
    const auto alpha = [](std::uint8_t x) {
        return (x >= 'A' && x <= 'Z') || (x >= 'a' && x <= 'z') || x == '_';
    };
    if (alpha(c)) {
        std::size_t e = pos + 1;
        while (e < s.size() && (alpha(static_cast<std::uint8_t>(s[e])) ||
                                is_digit(static_cast<std::uint8_t>(s[e]))))
            ++e;
        tok.kind = Tok::name;
        tok.text = s.substr(pos, e - pos);
        pos = e;
        return;
    }
    if (is_digit(c) || (c == '.' && is_digit(next(1)))) {
        std::size_t e = pos;
        while (e < s.size() && is_digit(static_cast<std::uint8_t>(s[e]))) ++e;
        if (e < s.size() && s[e] == '.') {
            const std::uint8_t after =
                e + 1 < s.size() ? static_cast<std::uint8_t>(s[e + 1]) : std::uint8_t{0};
            if (!alpha(after)) {  // "1.AND." leaves the point to the operator
                ++e;
                while (e < s.size() && is_digit(static_cast<std::uint8_t>(s[e]))) ++e;
            }
        }
        if (e - pos > 40) fail("number too long" + at_pos(pos));
        tok.kind = Tok::number;
        tok.text = s.substr(pos, e - pos);
        pos = e;
        return;
    }
    if (c == '\'' || c == '"' || c == '[') {
        const char close = c == '[' ? ']' : static_cast<char>(c);
        const std::size_t e = s.find(close, pos + 1);
        if (e == std::string_view::npos) fail("unterminated string" + at_pos(pos));
        tok.kind = Tok::string;
        tok.text = s.substr(pos + 1, e - pos - 1);
        pos = e + 1;
        return;
    }
    if (c == '.') {
        static constexpr struct {
            std::string_view word;
            Tok kind;
        } dotted[] = {{".T.", Tok::true_},  {".F.", Tok::false_}, {".Y.", Tok::true_},
                      {".N.", Tok::false_}, {".AND.", Tok::and_}, {".OR.", Tok::or_},
                      {".NOT.", Tok::not_}};
        for (const auto& d : dotted)
            if (match_word(pos, d.word)) return one(d.kind, d.word.size());
        fail("unexpected '.'" + at_pos(pos));
    }
    switch (c) {
        case '(': return one(Tok::lparen, 1);
        case ')': return one(Tok::rparen, 1);
        case ',': return one(Tok::comma, 1);
        case '+': return one(Tok::plus, 1);
        case '-': return next(1) == '>' ? one(Tok::arrow, 2) : one(Tok::minus, 1);
        case '*': return next(1) == '*' ? one(Tok::power, 2) : one(Tok::star, 1);
        case '/': return one(Tok::slash, 1);
        case '%': return one(Tok::percent, 1);
        case '^': return one(Tok::power, 1);
        case '$': return one(Tok::dollar, 1);
        case '#': return rel(ne, 1);
        case '=': return next(1) == '=' ? rel(whole_eq, 2) : rel(eq, 1);
        case '!': return next(1) == '=' ? rel(ne, 2) : one(Tok::not_, 1);
        case '<':
            if (next(1) == '>') return rel(ne, 2);
            return next(1) == '=' ? rel(le, 2) : rel(lt, 1);
        case '>': return next(1) == '=' ? rel(ge, 2) : rel(gt, 1);
        default: break;
    }
    if (c >= 0x21 && c < 0x7f)
        fail(std::string("unexpected character '") + static_cast<char>(c) + "'" + at_pos(pos));
    static constexpr char hex[] = "0123456789ABCDEF";
    fail(std::string("unexpected byte ") + hex[c >> 4] + hex[c & 15] + "h" + at_pos(pos));
}

}  // namespace expr::detail
