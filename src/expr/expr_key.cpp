// A record's key and whether it holds a condition: a key of fields and
// literals is copied, any other evaluated and written in the key's form.
#include "expr_date.h"
#include "expr_number.h"
#include "expr_text.h"

#include <algorithm>
#include <cstring>

namespace expr {

using namespace detail;

namespace {

// The key of a run of pieces, as the instructions would make it: each piece
// what the record holds of it, the whole cut to the key or padded.
void copy_pieces(const Program& p, dbf::Bytes record, std::span<std::uint8_t> key) {
    const std::size_t size = record.size();
    const std::size_t room = std::min(key.size(), max_string);
    std::size_t used = 0;
    for (const Piece& piece : p.pieces) {
        if (used == room) break;
        const std::uint8_t* s;
        std::size_t n;
        if (piece.source == Piece::literal) {
            s = p.text.data() + piece.at;
            n = piece.length;
        } else {
            const std::size_t avail = piece.at < size ? size - piece.at : 0;
            n = std::min<std::size_t>(piece.length, avail);
            s = n != 0 ? record.data() + piece.at : empty_text;
            if (piece.source == Piece::field_dtos) {
                if (parse_date(s, n) == 0) s = no_date;
                n = 8;
            }
        }
        n = std::min(n, room - used);
        std::uint8_t* d = key.data() + used;
        if (piece.case_from != 0)
            change_case(s, n, piece.case_from, d);
        else
            std::memcpy(d, s, n);
        used += n;
    }
    std::memset(key.data() + used, ' ', key.size() - used);
}

}  // namespace

void make_key(Program& p, dbf::Bytes record, std::uint32_t recno, std::span<std::uint8_t> key,
              unsigned key_decimals) {
    if (key.empty()) return;  // its data may be null, which no copy may be given
    if (p.direct) {
        copy_pieces(p, record, key);
        return;
    }
    const Value& v = evaluate(p, record, recno);
    const auto put_text = [&](const std::uint8_t* s, std::size_t n) {
        n = std::min(n, key.size());
        std::memcpy(key.data(), s, n);
        std::memset(key.data() + n, ' ', key.size() - n);
    };
    switch (p.type) {
        case Type::character: put_text(v.text, v.length); break;
        case Type::date: {
            std::uint8_t d[8];
            put_dtos(v.date, d);
            put_text(d, 8);
            break;
        }
        case Type::logical: {
            const std::uint8_t c = v.truth ? 'T' : 'F';
            put_text(&c, 1);
            break;
        }
        case Type::numeric:
            put_number(v.number, static_cast<int>(std::min<unsigned>(key_decimals, max_string)),
                       key, Form::key);
            break;
    }
}

bool holds(Program& p, dbf::Bytes record, std::uint32_t recno) {
    if (p.type != Type::logical) return false;
    return evaluate(p, record, recno).truth;
}

}  // namespace expr
