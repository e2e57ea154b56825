// The compiler of key expressions: a recursive descent parser that emits
// instructions as it goes, operands first, each writing its own value slot.
#include "expr_compiler.h"
#include "expr_number.h"
#include "expr_text.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace expr::detail {

const char* type_name(VT t) {
    switch (t) {
        case VT::character: return "character";
        case VT::numeric: return "numeric";
        case VT::date: return "date";
        case VT::logical: return "logical";
        case VT::any: break;
    }
    return "unknown";
}

std::uint32_t Compiler::new_slot(VT type, std::uint32_t max_length) {
    p.values.emplace_back();
    Meta m;
    m.type = type;
    m.max_length = max_length;
    meta.push_back(m);
    return static_cast<std::uint32_t>(p.values.size() - 1);
}

void Compiler::budget(std::size_t more, std::size_t& used) {
    used += more;
    if (text_used + 2 * table_used > max_scratch)
        fail("expression needs more than " + std::to_string(max_scratch >> 10) +
             " KiB of text buffers");
}

std::uint32_t Compiler::text_buffer(std::uint32_t capacity) {
    const auto at = static_cast<std::uint32_t>(text_used);
    budget(capacity, text_used);
    return at;
}

// An instruction writing a new slot of `type`, with a text buffer of
// `buffer` bytes when it needs one.
std::uint32_t Compiler::emit(Instr in, VT type, std::uint32_t max_length,
                             std::uint32_t buffer) {
    in.out = new_slot(type, max_length);
    if (buffer != 0) {
        in.buffer = text_buffer(buffer);
        in.capacity = buffer;
    }
    p.code.push_back(in);
    return in.out;
}

Instr Compiler::instr(Op op, std::uint32_t a, std::uint32_t b, std::uint32_t c,
                      std::uint8_t sub) {
    Instr in;
    in.op = op;
    in.a = a;
    in.b = b;
    in.c = c;
    in.sub = sub;
    return in;
}

std::uint32_t Compiler::constant_number(const Number& n) {
    const std::uint32_t s = new_slot(VT::numeric);
    p.values[s].number = n;
    meta[s].constant = true;
    return s;
}

std::uint32_t Compiler::constant_logical(bool b) {
    const std::uint32_t s = new_slot(VT::logical);
    p.values[s].truth = b;
    meta[s].constant = true;
    return s;
}

std::uint32_t Compiler::constant_text(std::string_view t) {
    const auto len = static_cast<std::uint32_t>(t.size());
    const std::uint32_t s = new_slot(VT::character, len);
    meta[s].constant = true;
    literals.push_back({s, text_buffer(len), t});
    return s;
}

// A call of the application's: every member of its value stays empty.
std::uint32_t Compiler::unknown(const std::string& name, VT type) {
    if (app_function.empty()) app_function = name;
    const std::uint32_t s = new_slot(type);
    meta[s].constant = true;
    return s;
}

// The value of a numeric constant, for lengths known at compile time.
bool Compiler::constant_count(std::uint32_t s, std::int64_t& n) const {
    if (!meta[s].constant || type(s) != VT::numeric) return false;
    n = to_count(p.values[s].number);
    return true;
}

// ------------------------------------------------------------ grammar

std::uint32_t Compiler::parse_expr() {
    Nest n(*this);
    std::uint32_t left = parse_and();
    while (tok().kind == Tok::or_) {
        const std::size_t pos = tok().pos;
        advance();
        const std::uint32_t right = parse_and();
        need_logical(left, right, ".OR.", pos);
        left = emit(instr(Op::or_, left, right), VT::logical);
    }
    return left;
}

void Compiler::need_logical(std::uint32_t a, std::uint32_t b, const char* op,
                            std::size_t pos) const {
    if (!fits(a, VT::logical) || !fits(b, VT::logical))
        fail(std::string("type mismatch") + at_pos(pos) + ": " + type_name(type(a)) + " " +
             op + " " + type_name(type(b)));
}

std::uint32_t Compiler::parse_and() {
    std::uint32_t left = parse_not();
    while (tok().kind == Tok::and_) {
        const std::size_t pos = tok().pos;
        advance();
        const std::uint32_t right = parse_not();
        need_logical(left, right, ".AND.", pos);
        left = emit(instr(Op::and_, left, right), VT::logical);
    }
    return left;
}

std::uint32_t Compiler::parse_not() {
    if (tok().kind != Tok::not_) return parse_relation();
    Nest n(*this);
    const std::size_t pos = tok().pos;
    advance();
    const std::uint32_t a = parse_not();
    if (!fits(a, VT::logical))
        fail(std::string("type mismatch") + at_pos(pos) + ": .NOT. " + type_name(type(a)));
    return emit(instr(Op::not_, a), VT::logical);
}

std::uint32_t Compiler::parse_relation() {
    std::uint32_t left = parse_additive();
    while (tok().kind == Tok::relation || tok().kind == Tok::dollar) {
        const Token t = tok();
        advance();
        const std::uint32_t right = parse_additive();
        VT ta = type(left), tb = type(right);
        if (ta == VT::any) ta = tb;
        if (tb == VT::any) tb = ta;
        if (ta == VT::any) ta = tb = VT::character;
        const std::string op(lex.s.substr(t.pos, t.end - t.pos));
        if (ta != tb || (t.kind == Tok::dollar && ta != VT::character))
            fail(std::string("type mismatch") + at_pos(t.pos) + ": " +
                 type_name(type(left)) + " " + upper_ascii(op) + " " +
                 type_name(type(right)));
        if (t.kind == Tok::dollar) {
            left = search(Op::contains, left, right, VT::logical);
            continue;
        }
        static constexpr Op by_type[] = {Op::cmp_text, Op::cmp_number, Op::cmp_date,
                                         Op::cmp_logical};
        left = emit(instr(by_type[static_cast<int>(ta)], left, right, 0, t.relation),
                    VT::logical);
    }
    return left;
}

// $ and AT: a needle, a haystack and a table as long as the needle.
std::uint32_t Compiler::search(Op op, std::uint32_t needle, std::uint32_t hay, VT result) {
    Instr in = instr(op, needle, hay);
    in.capacity = std::max<std::uint32_t>(max_length(needle), 1);
    in.buffer = static_cast<std::uint32_t>(table_used);
    budget(in.capacity, table_used);
    return emit(in, result);
}

std::uint32_t Compiler::concat(const std::vector<std::uint32_t>& parts) {
    Instr in = instr(Op::concat);
    in.first_arg = static_cast<std::uint32_t>(p.args.size());
    in.arg_count = static_cast<std::uint32_t>(parts.size());
    std::size_t total = 0;
    for (std::uint32_t s : parts) {
        p.args.push_back(s);
        total += max_length(s);
    }
    const auto cap = static_cast<std::uint32_t>(std::min(total, max_string));
    return emit(in, VT::character, cap, cap);
}

std::uint32_t Compiler::parse_additive() {
    std::uint32_t left = parse_multiplicative();
    std::vector<std::uint32_t> parts;  // a run of text joined by +
    const auto flush = [&] {
        if (parts.size() > 1) left = concat(parts);
        parts.clear();
    };
    while (tok().kind == Tok::plus || tok().kind == Tok::minus) {
        const bool plus = tok().kind == Tok::plus;
        const std::size_t pos = tok().pos;
        advance();
        const std::uint32_t right = parse_multiplicative();
        const VT tl = parts.empty() ? type(left) : VT::character, tr = type(right);
        const bool text = (tl == VT::character && fits(right, VT::character)) ||
                          (tr == VT::character && tl == VT::any) ||
                          (tl == VT::any && tr == VT::any);
        if (plus && text) {
            if (parts.empty()) parts.push_back(left);
            parts.push_back(right);
            continue;
        }
        flush();
        left = arithmetic(plus, left, right, pos);
    }
    flush();
    return left;
}

std::uint32_t Compiler::arithmetic(bool plus, std::uint32_t a, std::uint32_t b, std::size_t pos) {
    VT ta = type(a), tb = type(b);
    if (ta == VT::any) ta = tb == VT::date ? VT::numeric : tb == VT::any ? VT::character : tb;
    if (tb == VT::any) tb = ta == VT::date ? VT::numeric : ta;
    if (ta == VT::character && tb == VT::character) {
        // Only - reaches here: the left side's trailing spaces go last.
        const auto cap = static_cast<std::uint32_t>(
            std::min<std::size_t>(std::size_t{max_length(a)} + max_length(b), max_string));
        return emit(instr(Op::concat_trim, a, b), VT::character, cap, cap);
    }
    if (ta == VT::numeric && tb == VT::numeric)
        return emit(instr(plus ? Op::add : Op::sub, a, b), VT::numeric);
    if (ta == VT::date && tb == VT::numeric) {
        if (plus) return emit(instr(Op::date_add, a, b), VT::date);
        const std::uint32_t minus_b = emit(instr(Op::neg, b), VT::numeric);
        return emit(instr(Op::date_add, a, minus_b), VT::date);
    }
    if (plus && ta == VT::numeric && tb == VT::date)
        return emit(instr(Op::date_add, b, a), VT::date);
    if (!plus && ta == VT::date && tb == VT::date)
        return emit(instr(Op::date_diff, a, b), VT::numeric);
    fail(std::string("type mismatch") + at_pos(pos) + ": " + type_name(type(a)) +
         (plus ? " + " : " - ") + type_name(type(b)));
}

std::uint32_t Compiler::parse_multiplicative() {
    std::uint32_t left = parse_power();
    while (tok().kind == Tok::star || tok().kind == Tok::slash || tok().kind == Tok::percent) {
        const Tok k = tok().kind;
        const std::size_t pos = tok().pos;
        advance();
        const std::uint32_t right = parse_power();
        const char* name = k == Tok::star ? " * " : k == Tok::slash ? " / " : " % ";
        left = numeric_binary(k == Tok::star ? Op::mul : k == Tok::slash ? Op::div : Op::mod,
                              left, right, name, pos);
    }
    return left;
}

std::uint32_t Compiler::numeric_binary(Op op, std::uint32_t a, std::uint32_t b, const char* name,
                                       std::size_t pos) {
    if (!fits(a, VT::numeric) || !fits(b, VT::numeric))
        fail(std::string("type mismatch") + at_pos(pos) + ": " + type_name(type(a)) + name +
             type_name(type(b)));
    return emit(instr(op, a, b), VT::numeric);
}

std::uint32_t Compiler::parse_power() {
    std::uint32_t left = parse_unary();
    while (tok().kind == Tok::power) {
        const std::size_t pos = tok().pos;
        advance();
        left = numeric_binary(Op::pow, left, parse_unary(), " ** ", pos);
    }
    return left;
}

std::uint32_t Compiler::parse_unary() {
    if (tok().kind != Tok::minus && tok().kind != Tok::plus) return parse_primary();
    Nest n(*this);
    const bool minus = tok().kind == Tok::minus;
    const std::size_t pos = tok().pos;
    advance();
    const std::uint32_t a = parse_unary();
    if (!fits(a, VT::numeric))
        fail(std::string("type mismatch") + at_pos(pos) + ": " + (minus ? "-" : "+") +
             type_name(type(a)));
    if (!minus) return a;
    if (meta[a].constant && type(a) == VT::numeric)
        return constant_number(neg(p.values[a].number));  // lengths like -1 stay known
    return emit(instr(Op::neg, a), VT::numeric);
}

void Compiler::expect_close(std::size_t open) {
    if (tok().kind == Tok::rparen) {
        advance();
        return;
    }
    if (tok().kind == Tok::end) fail("unbalanced parenthesis" + at_pos(open));
    fail("expected ')'" + at_pos(tok().pos));
}

std::uint32_t Compiler::parenthesised() {
    const std::size_t open = tok().pos;
    advance();
    const std::uint32_t e = parse_expr();
    expect_close(open);
    return e;
}

std::uint32_t Compiler::parse_primary() {
    const Token t = tok();
    switch (t.kind) {
        case Tok::number:
            advance();
            return constant_number(parse_number(
                reinterpret_cast<const std::uint8_t*>(t.text.data()), t.text.size()));
        case Tok::string: advance(); return constant_text(t.text);
        case Tok::true_: advance(); return constant_logical(true);
        case Tok::false_: advance(); return constant_logical(false);
        case Tok::lparen: return parenthesised();
        case Tok::name: break;
        case Tok::end: fail("expression ends where a value is expected" + at_pos(t.pos));
        case Tok::rparen: fail("unbalanced parenthesis" + at_pos(t.pos));
        default:
            fail("unexpected '" + std::string(lex.s.substr(t.pos, t.end - t.pos)) +
                 "' where a value is expected" + at_pos(t.pos));
    }
    advance();
    const std::string name = upper_ascii(t.text);
    if (tok().kind == Tok::lparen) return call(name, t.pos);
    if (tok().kind != Tok::arrow) return field(name);
    advance();  // an alias: FIELD->, M->, or the table's
    if (tok().kind == Tok::lparen) return parenthesised();
    if (tok().kind != Tok::name) fail("expected a field name after ->" + at_pos(tok().pos));
    const std::string target = upper_ascii(tok().text);
    advance();
    if (name == "M" || name == "MEMVAR") return unknown(name + "->" + target, VT::any);
    return field(target);
}

std::uint32_t Compiler::field(const std::string& name) {
    const dbf::Field* f = nullptr;
    for (const dbf::Field& x : fields)
        if (equal_nocase(x.name, name)) {
            f = &x;
            break;
        }
    if (!f && name.size() > 10)  // ten letters of a name are read
        for (const dbf::Field& x : fields)
            if (x.name.size() == 10 &&
                equal_nocase(x.name, std::string_view(name).substr(0, 10))) {
                f = &x;
                break;
            }
    if (!f) fail("unknown field " + name);
    const auto index = static_cast<std::uint32_t>(f - fields.data());
    if (std::find(p.fields_read.begin(), p.fields_read.end(), index) == p.fields_read.end())
        p.fields_read.push_back(index);
    Instr in;
    const auto offset_limit = std::numeric_limits<std::uint32_t>::max() - max_string;
    in.at = static_cast<std::uint32_t>(std::min<std::size_t>(f->offset, offset_limit));
    in.length = static_cast<std::uint32_t>(std::min(f->length, max_string));
    switch (f->type) {
        case 'N':
        case 'F': {
            in.op = Op::field_number;
            const std::uint32_t s = emit(in, VT::numeric);
            meta[s].field_length = static_cast<int>(in.length);
            meta[s].field_decimals = static_cast<int>(std::min(f->decimals, max_string));
            return s;
        }
        case 'D': in.op = Op::field_date; return emit(in, VT::date);
        case 'L': in.op = Op::field_logical; return emit(in, VT::logical);
        case 'M': fail("memo field " + name + ": its text is not in the table");
        default: in.op = Op::field_text; return emit(in, VT::character, in.length);
    }
}

void Compiler::finish(std::uint32_t result) {
    p.text.assign(std::max<std::size_t>(text_used, 1), 0);
    p.table.assign(std::max<std::size_t>(table_used, 1), 0);
    for (Value& v : p.values) v.text = empty_text;
    for (const Literal& l : literals) {
        std::memcpy(p.text.data() + l.offset, l.bytes.data(), l.bytes.size());
        p.values[l.slot].text = p.text.data() + l.offset;
        p.values[l.slot].length = static_cast<std::uint32_t>(l.bytes.size());
    }
    p.result = result;
    const VT t = type(result);
    p.type = t == VT::any ? Type::character : static_cast<Type>(t);
    find_pieces();
}

// Whether the result is fields and literals joined by + (under UPPER or
// LOWER, or a date field, alone or through DTOS), and if so its pieces.
void Compiler::find_pieces() {
    std::vector<std::uint32_t> producer(p.values.size(), none);
    for (std::uint32_t i = 0; i < p.code.size(); ++i) producer[p.code[i].out] = i;
    std::vector<std::uint32_t> literal_at(p.values.size(), none);
    for (const Literal& l : literals) literal_at[l.slot] = l.offset;
    p.direct = pieces_of(p.result, 0, producer, literal_at, 0);
    if (!p.direct) p.pieces.clear();
}

// `case_from` is the outermost UPPER's or LOWER's, as change_case takes it.
bool Compiler::pieces_of(std::uint32_t slot, std::uint8_t case_from,
                         const std::vector<std::uint32_t>& producer,
                         const std::vector<std::uint32_t>& literal_at, int depth) {
    if (depth > max_depth) return false;
    if (literal_at[slot] != none) {
        p.pieces.push_back({Piece::literal, case_from, literal_at[slot], p.values[slot].length});
        return true;
    }
    if (producer[slot] == none) return false;
    const Instr& in = p.code[producer[slot]];
    switch (in.op) {
        case Op::field_text:
            p.pieces.push_back({Piece::field, case_from, in.at, in.length});
            return true;
        case Op::field_date:  // a date key is its DTOS
            if (slot != p.result) return false;
            [[fallthrough]];
        case Op::field_dtos:
            p.pieces.push_back({Piece::field_dtos, 0, in.at, in.length});
            return true;
        case Op::upper:
        case Op::lower:
            if (case_from == 0) case_from = in.op == Op::upper ? 'a' : 'A';
            return pieces_of(in.a, case_from, producer, literal_at, depth + 1);
        case Op::concat:
            for (std::uint32_t i = 0; i < in.arg_count; ++i)
                if (!pieces_of(p.args[in.first_arg + i], case_from, producer, literal_at,
                               depth + 1))
                    return false;
            return true;
        default: return false;
    }
}

}  // namespace expr::detail

namespace expr {

using namespace detail;

Compiled compile(std::string_view text, std::span<const dbf::Field> fields) {
    Compiled out;
    if (text.size() > max_text) {
        out.error = "expression too long (" + std::to_string(text.size()) + " bytes, at most " +
                    std::to_string(max_text) + ")";
        return out;
    }
    Compiler c;
    std::uint32_t result_slot = 0;
    c.lex.s = text;
    c.fields = fields;
    try {
        c.advance();
        if (c.tok().kind == Tok::end) fail("empty expression");
        const std::uint32_t result = c.parse_expr();
        if (c.tok().kind == Tok::rparen) fail("unbalanced parenthesis" + at_pos(c.tok().pos));
        if (c.tok().kind != Tok::end) {
            const Token& t = c.tok();
            fail("unexpected '" + std::string(text.substr(t.pos, t.end - t.pos)) + "'" +
                 at_pos(t.pos));
        }
        c.finish(result);
        result_slot = result;
    } catch (const Failure& f) {
        out.error = f.message;
        return out;
    }
    out.program = std::move(c.p);
    out.type = out.program.type;
    out.app_function = std::move(c.app_function);
    const Meta& m = c.meta[result_slot];
    switch (out.type) {
        case Type::character: out.key_length = m.max_length; break;
        case Type::date: out.key_length = 8; break;
        case Type::logical: out.key_length = 1; break;
        case Type::numeric:
            out.key_length = m.field_length > 0 ? static_cast<std::uint32_t>(m.field_length) : 10;
            out.key_decimals =
                m.field_length > 0 ? static_cast<std::uint32_t>(m.field_decimals) : 0;
            break;
    }
    return out;
}

}  // namespace expr
