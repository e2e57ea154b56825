// On-disk layout of a dBase table (.dbf) and its decoding: the header, the
// field descriptors and the fixed-length records after them.
//
// As in ntx_layout, every offset is named here once and the decoders are
// pure: bytes in memory in, plain records out, never a read outside them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dbf {

using Bytes = std::span<const std::uint8_t>;

// The fixed part of the header; the field descriptors follow it.
inline constexpr std::size_t prologue_size = 32;
inline constexpr std::size_t version_at = 0;        // u8
// Date of the last update, which decoding has no need of: 3 bytes, years
// since 1900, month, day.
inline constexpr std::size_t updated_at = 1;
inline constexpr std::size_t record_count_at = 4;   // u32
inline constexpr std::size_t header_length_at = 8;  // u16, up to the first record
inline constexpr std::size_t record_length_at = 10; // u16, deletion flag included
// The rest of the prologue is reserved or writer-specific.

// Field descriptors, one after another from the end of the prologue until a
// byte `descriptors_end` where the next one would start.
inline constexpr std::size_t descriptors_at = prologue_size;
inline constexpr std::size_t descriptor_size = 32;
inline constexpr std::size_t field_name_at = 0;
inline constexpr std::size_t field_name_size = 11;  // zero-padded
inline constexpr std::size_t field_type_at = 11;
// Bytes 12 to 15 are a field offset some writers keep; the running sum of
// lengths is what every writer agrees on.
inline constexpr std::size_t field_length_at = 16;    // u8
inline constexpr std::size_t field_decimals_at = 17;  // u8
inline constexpr std::uint8_t descriptors_end = 0x0D;
static_assert(field_name_at + field_name_size == field_type_at);
static_assert(field_decimals_at < descriptor_size);

// Byte 0 of each record.
inline constexpr std::size_t deletion_flag_at = 0;
inline constexpr std::uint8_t deleted_mark = '*';
// Often, not always, after the last record.
inline constexpr std::uint8_t end_of_file_mark = 0x1A;

// The smallest header: the prologue and the end mark, though a table also
// needs a field for its header to decode.
inline constexpr std::size_t min_header_length = prologue_size + 1;

// One field of a record. `offset` counts from the start of the record, whose
// byte 0 is the deletion flag, so the first field is at offset 1.
struct Field {
    std::string name;  // as stored up to its first zero byte, ASCII letters raised
    char type = 'C';   // C, N, F, D, L, M, or another letter as stored
    std::size_t offset = 0;
    std::size_t length = 0;  // a character field's may exceed 255, see decode
    std::size_t decimals = 0;
};

struct TableHeader {
    std::uint8_t version = 0;
    std::uint32_t record_count = 0;
    std::size_t header_length = 0;
    std::size_t record_length = 0;
    std::vector<Field> fields;
};

// Whether the first byte of a file names a table version seen in the wild.
bool known_version(std::uint8_t version);

// The header length from the first `prologue_size` bytes; empty when they are
// fewer. The caller reads that many bytes for decode_table_header. A length
// stated below the prologue's gives the prologue's, so that the decoder sees
// the stated one and says it is too short.
std::optional<std::size_t> header_length(Bytes prologue);

// The header and its fields from the whole header (its first header_length
// bytes; any bytes past it are not looked at). On failure `error` says what
// is wrong, as a short phrase. A character field whose decimals byte is not
// zero has it as the high byte of its length, as writers of longer text
// fields store it.
struct TableDecoded {
    std::optional<TableHeader> header;
    std::string error;
};
TableDecoded decode_table_header(Bytes bytes);

// Bytes the header says the file holds: the header and every record, without
// the end-of-file mark, which many files lack.
std::uint64_t table_size(const TableHeader& header);

// Empty when a file of `file_size` bytes holds every record the header counts;
// otherwise a short phrase that says how many it has room for. Bytes past the
// last record are allowed: tables often keep records past their count.
std::string check_table_size(const TableHeader& header, std::uint64_t file_size);

// Where the records stand in a file of `file_size` bytes that holds the
// header (file_size >= header_length), and what follows them. A last byte
// of 1Ah is the end mark, never part of a record; `last_byte` is the
// file's last byte, empty when the file ends with the header.
struct TableGeometry {
    std::uint32_t counted = 0;  // N, the header's count
    std::uint64_t whole = 0;    // M, whole records after the header
    std::uint64_t partial = 0;  // bytes after them, short of a record, before any end mark
    bool end_mark = false;      // the file ends with 1Ah after them
    // Records read and compared: 1 to max(N, M) as far as they are whole,
    // so M, as far as an index's record numbers reach.
    std::uint32_t compared = 0;
};
TableGeometry table_geometry(const TableHeader& header, std::uint64_t file_size,
                             std::optional<std::uint8_t> last_byte);

// The bytes the fields take with the deletion flag: the record length a
// header should state.
std::size_t fields_length(const TableHeader& header);

// Whether a field's bytes hold a value of its type, as its writer would
// store one: an N or F field spaces or a number (spaces, a sign, digits
// with at most one point, spaces), a D field 8 spaces or a calendar date
// YYYYMMDD, an L field one of TtFfYyNn? or a space (then spaces). Any
// other type holds whatever it holds.
bool holds_its_type(const Field& field, Bytes value);

// Where record `recno` (from 1, as indexes count them; 0 is taken as 1)
// starts in the file.
std::uint64_t record_offset(const TableHeader& header, std::uint32_t recno);

// Whether a record, as stored (deletion flag first), is marked deleted.
bool is_deleted(Bytes record);

// The bytes of `field` in `record`; empty when they do not lie wholly
// inside it.
Bytes field_bytes(Bytes record, const Field& field);

// The first field of that name, compared without regard to ASCII case;
// null when there is none.
const Field* find_field(const TableHeader& header, std::string_view name);

}  // namespace dbf
