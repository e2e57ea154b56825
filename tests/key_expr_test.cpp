// Key expressions: compiled against a table's fields, evaluated per record.
// The keys an index stores, the language, the errors, and the real
// index/table pairs, whose every key must come out as stored.
#include "key_expr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

struct FieldSpec {
    std::string name;
    char type;
    std::size_t length;
    std::size_t decimals = 0;
};

// Fields laid out one after another from byte 1, as a table stores them.
std::vector<dbf::Field> fields_of(std::initializer_list<FieldSpec> described) {
    std::vector<dbf::Field> out;
    std::size_t at = 1;
    for (const FieldSpec& s : described) {
        out.push_back({.name = s.name, .type = s.type, .offset = at, .length = s.length,
                       .decimals = s.decimals});
        at += s.length;
    }
    return out;
}

const std::vector<dbf::Field> people = fields_of({{"FIRST", 'C', 20},
                                                  {"LAST", 'C', 20},
                                                  {"HIREDATE", 'D', 8},
                                                  {"SALARY", 'N', 10, 2},
                                                  {"AGE", 'N', 3},
                                                  {"MARRIED", 'L', 1},
                                                  {"NOTES", 'M', 10},
                                                  {"BIG", 'N', 19},
                                                  {"PRICE", 'N', 17, 6},
                                                  {"DESCRICAOO", 'C', 5}});

// A record from the texts of its fields (numbers right-aligned, the rest
// left-aligned), deletion flag first.
std::vector<std::uint8_t> record_of(const std::vector<dbf::Field>& fields,
                                    const std::vector<std::string>& values, bool deleted = false) {
    std::size_t size = 1;
    for (const dbf::Field& f : fields) size = std::max(size, f.offset + f.length);
    std::vector<std::uint8_t> r(size, ' ');
    r[0] = deleted ? '*' : ' ';
    for (std::size_t i = 0; i < values.size() && i < fields.size(); ++i) {
        const dbf::Field& f = fields[i];
        const std::string& v = values[i];
        EXPECT_LE(v.size(), f.length) << f.name;
        const std::size_t at = f.type == 'N' ? f.offset + f.length - v.size() : f.offset;
        std::memcpy(r.data() + at, v.data(), std::min(v.size(), f.length));
    }
    return r;
}

// Smith, John, hired 2023-01-15, salary 1234.50, 41, married.
const std::vector<std::string> smith = {"John", "Smith", "20230115", "1234.50", "41", "T",
                                        "         7", "", "", "abc"};

std::string key(std::string_view text, std::size_t size, unsigned decimals = 0,
                const std::vector<std::string>& values = smith, bool deleted = false,
                std::uint32_t recno = 1) {
    expr::Compiled c = expr::compile(text, people);
    EXPECT_EQ(c.error, "") << text;
    EXPECT_EQ(c.app_function, "") << text;
    if (!c.error.empty()) return "<error>";
    const auto r = record_of(people, values, deleted);
    std::string k(size, '?');
    expr::make_key(c.program, r, recno, {reinterpret_cast<std::uint8_t*>(k.data()), k.size()},
                   decimals);
    return k;
}

// A character expression's whole value.
std::string text(std::string_view expression, const std::vector<std::string>& values = smith) {
    expr::Compiled c = expr::compile(expression, people);
    EXPECT_EQ(c.error, "") << expression;
    EXPECT_EQ(c.type, expr::Type::character) << expression;
    if (!c.error.empty()) return "<error>";
    const auto r = record_of(people, values);
    const expr::Value& v = expr::evaluate(c.program, r, 7);
    return {reinterpret_cast<const char*>(v.text), v.length};
}

bool truth(std::string_view condition, const std::vector<std::string>& values = smith,
           bool deleted = false) {
    expr::Compiled c = expr::compile(condition, people);
    EXPECT_EQ(c.error, "") << condition;
    EXPECT_EQ(c.type, expr::Type::logical) << condition;
    const auto r = record_of(people, values, deleted);
    return expr::holds(c.program, r, 1);
}

std::string error(std::string_view text) { return expr::compile(text, people).error; }

std::string str(const expr::Number& n, std::size_t width, int decimals) {
    std::string s(width, '?');
    expr::format_number(n, decimals, {reinterpret_cast<std::uint8_t*>(s.data()), s.size()});
    return s;
}

// --------------------------------------------------------------- the keys

TEST(CharacterKey, IsTheTextCutOrPaddedToTheKeySize) {
    EXPECT_EQ(key("LAST+FIRST", 40), "Smith               John                ");
    EXPECT_EQ(key("LAST+FIRST", 8), "Smith   ");
    EXPECT_EQ(key("TRIM(LAST)", 8), "Smith   ");
    EXPECT_EQ(key("FIRST", 25), "John                     ");
    EXPECT_EQ(key("'x'", 0), "");
}

TEST(NumericKey, IsStrWithLeadingSpacesAsZeros) {
    EXPECT_EQ(key("SALARY", 10, 2), "0001234.50");
    EXPECT_EQ(key("AGE", 3), "041");
    EXPECT_EQ(key("AGE", 6, 2), "041.00");
    EXPECT_EQ(key("SALARY", 6, 0), "001235");  // a half away from zero
    EXPECT_EQ(key("SALARY*1000", 6, 0), "******");
    EXPECT_EQ(key("0", 4), "0000");
}

TEST(NumericKey, NegativeHasItsSignAsZeroAndEveryDigitAs5CMinusIt) {
    EXPECT_EQ(key("-SALARY", 13, 2, {"", "", "", "499"}), ",,,,,,,(##.,,");
    EXPECT_EQ(key("SALARY", 13, 2, {"", "", "", "-499"}), ",,,,,,,(##.,,");
    EXPECT_EQ(key("-1", 3), ",,+");
    EXPECT_EQ(key("-0.001", 5, 2), "00.00");  // rounds to zero: no sign
    EXPECT_EQ(key("-123456", 4), "****");
}

TEST(DateKey, IsYyyymmddOrEightSpaces) {
    EXPECT_EQ(key("HIREDATE", 8), "20230115");
    EXPECT_EQ(key("HIREDATE", 10), "20230115  ");
    EXPECT_EQ(key("HIREDATE", 8, 0, {"", "", ""}), "        ");
    EXPECT_EQ(key("HIREDATE", 8, 0, {"", "", "20230229"}), "        ");  // no such day
    EXPECT_EQ(key("HIREDATE", 8, 0, {"", "", "2023011x"}), "        ");
    EXPECT_EQ(key("HIREDATE", 8, 0, {"", "", "20240229"}), "20240229");
    EXPECT_EQ(key("HIREDATE+17", 8), "20230201");
    EXPECT_EQ(key("HIREDATE-15", 8), "20221231");
    EXPECT_EQ(key("30+HIREDATE", 8, 0, {"", "", "20240215"}), "20240316");
}

TEST(LogicalKey, IsTOrF) {
    for (const char* t : {"T", "t", "Y", "y"}) {
        EXPECT_EQ(key("MARRIED", 1, 0, {"", "", "", "", "", t}), "T");
    }
    for (const char* f : {"F", "f", "N", "n", "?", " "})
        EXPECT_EQ(key("MARRIED", 2, 0, {"", "", "", "", "", f}), "F ");
}

TEST(Key, NeverReadsOutsideTheRecord) {
    expr::Compiled c = expr::compile("LAST+STR(SALARY,10,2)+DTOS(HIREDATE)", people);
    ASSERT_EQ(c.error, "");
    const auto full = record_of(people, smith);
    for (std::size_t size = 0; size <= 60; ++size) {
        // Exactly `size` bytes of its own, so a sanitizer sees any read past it.
        std::vector<std::uint8_t> cut(full.begin(), full.begin() + static_cast<long>(size));
        std::string k(38, '?');
        expr::make_key(c.program, cut, 1, {reinterpret_cast<std::uint8_t*>(k.data()), k.size()}, 0);
        if (size == 0) {  // every field reads as empty
            EXPECT_EQ(k, "      0.00" + std::string(28, ' '));
        }
    }
}

// The common keys are copied, not run: whatever the record's bytes and
// length, the copy must give what the instructions give.
TEST(Key, CopiedPiecesGiveWhatTheInstructionsGive) {
    std::mt19937 random(7);
    const auto full = record_of(people, smith);
    for (const char* text : {"LAST+FIRST", "FIRST", "UPPER(LAST)+FIRST", "LOWER(UPPER(FIRST))",
                             "UPPER(LAST+'mc'+FIRST)", "DTOS(HIREDATE)+LAST", "HIREDATE",
                             "A->LAST+FIELD->FIRST", "'Ab'+LOWER('CD')+DESCRICAOO"}) {
        expr::Compiled copied = expr::compile(text, people);
        expr::Compiled run = expr::compile(text, people);
        ASSERT_EQ(copied.error, "") << text;
        EXPECT_TRUE(copied.program.direct) << text;
        run.program.direct = false;
        for (int round = 0; round < 200; ++round) {
            std::vector<std::uint8_t> r = full;
            if (round % 2 == 1)
                for (auto& b : r) b = static_cast<std::uint8_t>(random());
            r.resize(random() % (full.size() + 1));
            for (std::size_t size : {0u, 7u, 30u, 60u}) {
                std::string a(size, '?'), b(size, '!');
                expr::make_key(copied.program, r, 1,
                               {reinterpret_cast<std::uint8_t*>(a.data()), a.size()}, 0);
                expr::make_key(run.program, r, 1,
                               {reinterpret_cast<std::uint8_t*>(b.data()), b.size()}, 0);
                ASSERT_EQ(a, b) << text << " round " << round;
            }
        }
    }
    for (const char* text : {"SALARY", "TRIM(LAST)+FIRST", "LAST-FIRST", "IIF(MARRIED,LAST,FIRST)"})
        EXPECT_FALSE(expr::compile(text, people).program.direct) << text;
}

// ------------------------------------------------------------------- STR

TEST(Str, DefaultsToTenWideNoDecimalsButAFieldKeepsItsOwn) {
    EXPECT_EQ(text("STR(AGE*1)"), "        41");
    EXPECT_EQ(text("STR(AGE)"), " 41");
    EXPECT_EQ(text("STR(SALARY)"), "   1234.50");
    EXPECT_EQ(text("STR(SALARY,6)"), "  1235");
    EXPECT_EQ(text("STR(SALARY,9,1)"), "   1234.5");
    EXPECT_EQ(text("STR(SALARY,9,3)"), " 1234.500");
    EXPECT_EQ(text("STR(3,1)"), "3");
    EXPECT_EQ(text("STR(3,0)"), "         3");  // a width below 1 is 10
    EXPECT_EQ(text("STR(3,-4)"), "         3");
    EXPECT_EQ(text("STR(1.55,3,2)"), "1.6");  // decimals leave room for a digit and the point
    EXPECT_EQ(text("STR(7,2,5)"), " 7");
}

TEST(Str, RoundsAHalfAwayFromZero) {
    EXPECT_EQ(text("STR(4.5,15,0)"), "              5");
    EXPECT_EQ(text("STR(-4.5,4)"), "  -5");
    EXPECT_EQ(text("STR(9999999999999-4.5,15,0)"), "  9999999999995");
    EXPECT_EQ(text("STR(2.675,4,2)"), "2.68");
    EXPECT_EQ(text("STR(1/8,5,2)"), " 0.13");
    EXPECT_EQ(text("STR(0.285,5,2)"), " 0.29");
    EXPECT_EQ(text("STR(-0.004,5,2)"), " 0.00");
    EXPECT_EQ(text("STR(1/3,10,4)"), "    0.3333");
    EXPECT_EQ(text("STR(2/3,10,4)"), "    0.6667");
    EXPECT_EQ(text("STR(2/3*3,4)"), "   2");
    // A double's error does not turn a half into less than one.
    EXPECT_EQ(text("STR(1.005/3*3,5,2)"), " 1.01");
}

TEST(Str, TooWideIsAsterisks) {
    EXPECT_EQ(text("STR(12345,4)"), "****");
    EXPECT_EQ(text("STR(-1234,4)"), "****");
    EXPECT_EQ(text("STR(999.96,5,1)"), "*****");
    EXPECT_EQ(text("STR(999.94,5,1)"), "999.9");
    EXPECT_EQ(text("STR(10**400,5)"), "*****");
    EXPECT_EQ(text("STR(-(10**400),5)"), "*****");
}

TEST(Str, GivesBackEveryDigitOfANumericField) {
    const std::vector<std::string> wide = {"", "", "", "", "", "", "", "9223372036854775807",
                                           "1234567890.123456"};
    EXPECT_EQ(text("STR(BIG)", wide), "9223372036854775807");
    EXPECT_EQ(text("STR(PRICE)", wide), "1234567890.123456");
    EXPECT_EQ(text("STR(PRICE,17,5)", wide), " 1234567890.12346");
    EXPECT_EQ(text("STR(PRICE+1,17,6)", wide), "1234567891.123456");
    EXPECT_EQ(text("STR(-PRICE,18,6)", wide), "-1234567890.123456");
    // Beyond 64 bits a double takes over, written whole.
    EXPECT_EQ(text("STR(BIG*2,20)", wide), "18446744073709551616");
    EXPECT_EQ(text("STR(9000000000000000000+9000000000000000000,22)"),
              "  18000000000000000000");
    EXPECT_EQ(text("STR(VAL('12345678901234567890123'),25)"), "  12345678901234567741440");
}

TEST(Str, FormatNumberWritesExactlyItsWidth) {
    expr::Number n;
    n.mantissa = -12345;
    n.scale = 2;
    EXPECT_EQ(str(n, 8, 2), " -123.45");
    EXPECT_EQ(str(n, 9, 4), "-123.4500");
    EXPECT_EQ(str(n, 8, 4), "********");
    EXPECT_EQ(str(n, 6, 1), "-123.5");
    EXPECT_EQ(str(n, 3, 0), "***");
    EXPECT_EQ(str(n, 0, 0), "");
    n.exact = false;
    n.approx = 0.5;
    EXPECT_EQ(str(n, 3, 0), "  1");
    n.approx = -2.5;
    EXPECT_EQ(str(n, 3, 0), " -3");
}

TEST(StrZero, PadsWithZerosAfterTheSign) {
    EXPECT_EQ(text("STRZERO(AGE,5)"), "00041");
    EXPECT_EQ(text("STRZERO(-5,4)"), "-005");
    EXPECT_EQ(text("STRZERO(12.5,6,2)"), "012.50");
    EXPECT_EQ(text("STRZERO(123456,3)"), "***");
}

// --------------------------------------------------------------- numbers

TEST(Numbers, FieldsAndLiteralsReadAsXbaseReadsThem) {
    EXPECT_EQ(text("STR(SALARY,8,2)", {"", "", "", ""}), "    0.00");  // blank is 0
    EXPECT_EQ(text("STR(SALARY,8,2)", {"", "", "", "-.5"}), "   -0.50");
    EXPECT_EQ(text("STR(SALARY,8,2)", {"", "", "", "1x5"}), "    1.00");
    EXPECT_EQ(text("STR(.5+5.,5,1)"), "  5.5");
    EXPECT_EQ(text("STR(VAL('  -12.5kg'),6,2)"), "-12.50");
    EXPECT_EQ(text("STR(VAL('abc'),3)"), "  0");
    EXPECT_EQ(text("STR(VAL('+7'),3)"), "  7");
}

TEST(Numbers, ArithmeticAndPrecedence) {
    EXPECT_EQ(text("STR(1+2*3,3)"), "  7");
    EXPECT_EQ(text("STR((1+2)*3,3)"), "  9");
    EXPECT_EQ(text("STR(10-4-3,3)"), "  3");
    EXPECT_EQ(text("STR(2**10,5)"), " 1024");
    EXPECT_EQ(text("STR(2^3,3)"), "  8");
    EXPECT_EQ(text("STR(-2^2,3)"), "  4");  // unary minus binds tighter
    EXPECT_EQ(text("STR(- -3,3)"), "  3");
    EXPECT_EQ(text("STR(+3,3)"), "  3");
    EXPECT_EQ(text("STR(7%3,3)"), "  1");
    EXPECT_EQ(text("STR(-7%3,3)"), " -1");
    EXPECT_EQ(text("STR(7.5%2,4,1)"), " 1.5");
    EXPECT_EQ(text("STR(7/2,4,1)"), " 3.5");
    EXPECT_EQ(text("STR(0.1+0.2,20,18)"), "0.300000000000000000");
}

TEST(Numbers, DivisionByZeroAndOverflowAreDefined) {
    EXPECT_EQ(text("STR(5/0,3)"), "  0");
    EXPECT_EQ(text("STR(5%0,3)"), "  0");
    EXPECT_EQ(text("STR(5/(AGE-41),3)"), "  0");
    EXPECT_EQ(text("STR(0**-1,3)"), "***");  // infinity
    EXPECT_EQ(text("STR((-1)**0.5,3)"), "***");  // not a number
    EXPECT_EQ(text("STR(-9223372036854775807-1-1,21)"), " -9223372036854775808");
}

TEST(Numbers, Functions) {
    EXPECT_EQ(text("STR(INT(7.9),3)"), "  7");
    EXPECT_EQ(text("STR(INT(-7.9),3)"), " -7");
    EXPECT_EQ(text("STR(INT(10/4),3)"), "  2");
    EXPECT_EQ(text("STR(ROUND(2.45,1),5,2)"), " 2.50");
    EXPECT_EQ(text("STR(ROUND(-2.45,1),5,2)"), "-2.50");
    EXPECT_EQ(text("STR(ROUND(1250,-2),5)"), " 1300");
    EXPECT_EQ(text("STR(ROUND(2/3,2),5,2)"), " 0.67");
    EXPECT_EQ(text("STR(ABS(-3.5),4,1)"), " 3.5");
    EXPECT_EQ(text("STR(MAX(3,AGE),3)"), " 41");
    EXPECT_EQ(text("STR(MIN(3,AGE),3)"), "  3");
    EXPECT_EQ(text("STR(LEN(LAST),3)"), " 20");
    EXPECT_EQ(text("STR(LEN(TRIM(LAST)),3)"), "  5");
    EXPECT_EQ(text("STR(ASC('A'),3)"), " 65");
    EXPECT_EQ(text("STR(ASC(''),3)"), "  0");
    EXPECT_EQ(text("STR(AT('mi',LAST),3)"), "  2");
    EXPECT_EQ(text("STR(AT('x',LAST),3)"), "  0");
    EXPECT_EQ(text("STR(AT('',LAST),3)"), "  0");
    EXPECT_EQ(text("STR(AT('abab','abaabab'),3)"), "  4");
    EXPECT_EQ(text("STR(RECNO(),3)"), "  7");
    EXPECT_EQ(text("STR(40-LEN(ALLTRIM(FIRST)),2,0)"), "36");
}

// ----------------------------------------------------------------- dates

TEST(Dates, ArithmeticAndParts) {
    EXPECT_EQ(text("DTOS(HIREDATE)"), "20230115");
    EXPECT_EQ(text("DTOS(HIREDATE+365)"), "20240115");
    EXPECT_EQ(text("STR(HIREDATE-STOD('20220115'),4)"), " 365");
    EXPECT_EQ(text("STR(YEAR(HIREDATE),4)+STR(MONTH(HIREDATE),2)+STR(DAY(HIREDATE),2)"),
              "2023 115");
    EXPECT_EQ(text("STR(DOW(HIREDATE),1)"), "1");  // a Sunday
    EXPECT_EQ(text("STR(DOW(HIREDATE+6),1)"), "7");
    EXPECT_EQ(text("STR(YEAR(HIREDATE),4)", {"", "", ""}), "   0");
    EXPECT_EQ(text("DTOS(HIREDATE+1)", {"", "", ""}), "        ");  // empty stays empty
    EXPECT_EQ(text("DTOS(STOD('99991231')+1)"), "        ");  // past the calendar
    EXPECT_EQ(text("DTOS(STOD('00000101'))"), "00000101");
    EXPECT_EQ(text("DTOS(STOD('2023'))"), "        ");
    EXPECT_EQ(text("DTOS(MAX(HIREDATE,STOD('20240101')))"), "20240101");
    EXPECT_EQ(text("STR(99999999-VAL(DTOS(HIREDATE)),8)"), "79769884");
}

// ------------------------------------------------------------------ text

TEST(Text, ConcatenationAndMinus) {
    EXPECT_EQ(text("'ab  '-'cd'"), "abcd  ");
    EXPECT_EQ(text("'ab'-'cd '+'e'"), "abcd e");
    EXPECT_EQ(text("TRIM(FIRST)+' '+TRIM(LAST)"), "John Smith");
    EXPECT_EQ(text("\"a\"+[b]+'c'"), "abc");
    EXPECT_EQ(text("''"), "");
}

TEST(Text, Functions) {
    EXPECT_EQ(text("UPPER(FIRST)"), "JOHN                ");
    EXPECT_EQ(text("LOWER('AbC\xc4')"), "abc\xc4");  // ASCII letters only
    EXPECT_EQ(text("LEFT(LAST,3)"), "Smi");
    EXPECT_EQ(text("LEFT(LAST,-1)"), "");
    EXPECT_EQ(text("LEFT(LAST,99)"), "Smith               ");
    EXPECT_EQ(text("RIGHT(TRIM(LAST),3)"), "ith");
    EXPECT_EQ(text("RIGHT('ab',5)"), "ab");
    EXPECT_EQ(text("SUBSTR(LAST,2,3)"), "mit");
    EXPECT_EQ(text("SUBSTR('abcdef',0,2)"), "ab");
    EXPECT_EQ(text("SUBSTR('abcdef',-2)"), "ef");
    EXPECT_EQ(text("SUBSTR('abcdef',-9,2)"), "ab");
    EXPECT_EQ(text("SUBSTR('abcdef',7)"), "");
    EXPECT_EQ(text("SUBSTR('abcdef',3,-1)"), "");
    EXPECT_EQ(text("SUBSTR('abcdef',5,10)"), "ef");
    EXPECT_EQ(text("PADR('ab',4)+'|'"), "ab  |");
    EXPECT_EQ(text("PADL('ab',4,'*')"), "**ab");
    EXPECT_EQ(text("PADC('ab',5,'-')"), "-ab--");
    EXPECT_EQ(text("PADR('abcdef',3)+PADL('abcdef',3)+PADC('abcdef',3)"), "abcabcabc");
    EXPECT_EQ(text("PADR('ab',-3)"), "");
    EXPECT_EQ(text("PADR('ab',AGE-38)"), "ab ");
    EXPECT_EQ(text("'|'+TRIM('  a  ')+'|'+RTRIM(' b ')+'|'+LTRIM(' c ')+'|'+ALLTRIM(' d ')+'|'"),
              "|  a| b|c |d|");
    EXPECT_EQ(text("SPACE(3)+'|'"), "   |");
    EXPECT_EQ(text("SPACE(-3)"), "");
    EXPECT_EQ(text("REPLICATE('ab',3)"), "ababab");
    EXPECT_EQ(text("REPLICATE('ab',0)"), "");
    EXPECT_EQ(text("CHR(65)+CHR(321)"), "AA");
    EXPECT_EQ(text("DESCEND('ab')"), "\x9f\x9e");
    EXPECT_EQ(text("IIF(AGE>40,'old','young')"), "old");
    EXPECT_EQ(text("IF(AGE>50,'old','young')"), "young");
    EXPECT_EQ(text("IIF(MARRIED,DTOS(HIREDATE),'')"), "20230115");
}

TEST(Text, LengthsFromTheRecordAreBounded) {
    const std::vector<std::string> many = {"", "Smith", "", "9999999.00"};
    EXPECT_EQ(text("SPACE(SALARY)", many).size(), expr::max_string);
    EXPECT_EQ(text("STR(1,SALARY)", many).size(), expr::max_string);
    EXPECT_EQ(text("REPLICATE('ab',SALARY)", many).size(), expr::max_string);
    EXPECT_EQ(text("REPLICATE('ab',3)+PADR('x',4)+STR(1,3)").size(), 13u);
    EXPECT_EQ(text("LEFT(REPLICATE(LAST,SALARY),3)", many), "Smi");
}

TEST(Names, AbbreviationsOfFourLettersOrMore) {
    EXPECT_EQ(text("SUBS(LAST,1,2)+SUBST(LAST,1,2)+SUBSTR(LAST,1,2)"), "SmSmSm");
    EXPECT_EQ(text("UPPE(TRIM(FIRST))+ALLT(' x ')+REPL('-',2)+LTRI(' y')"), "JOHNx--y");
    EXPECT_EQ(text("upper ( last )"), "SMITH               ");
    EXPECT_EQ(text("Str( AGE , 5 )"), "   41");
}

TEST(Names, AliasesNameTheTable) {
    EXPECT_EQ(text("TEST2->LAST"), text("LAST"));
    EXPECT_EQ(text("test2 -> Last"), text("LAST"));
    EXPECT_EQ(text("FIELD->LAST"), text("LAST"));
    EXPECT_EQ(text("Pla_Cuen->(TRIM(FIRST)+LAST)"), "JohnSmith               ");
    // Ten letters are what the language reads of a name.
    EXPECT_EQ(text("DESCRICAOOO"), "abc  ");
}

// ----------------------------------------------------------- conditions

TEST(Conditions, TextComparisonIsXbases) {
    EXPECT_TRUE(truth("'ABC' = 'AB'"));
    EXPECT_FALSE(truth("'AB' = 'ABC'"));
    EXPECT_TRUE(truth("'AB' = ''"));
    EXPECT_FALSE(truth("'' = 'A'"));
    EXPECT_FALSE(truth("'ABC' == 'AB'"));
    EXPECT_TRUE(truth("'AB' == 'AB'"));
    EXPECT_FALSE(truth("'ABC' != 'AB'"));
    EXPECT_TRUE(truth("'AB' <> 'ABC'"));
    EXPECT_TRUE(truth("'AB' # 'AC'"));
    EXPECT_TRUE(truth("'AB' < 'ABC'"));
    EXPECT_FALSE(truth("'ABC' < 'AB'"));
    EXPECT_TRUE(truth("'ABC' <= 'AB'"));
    EXPECT_TRUE(truth("'B' > 'ABC'"));
    EXPECT_TRUE(truth("'\xe4' > 'z'"));  // bytes compare unsigned
    EXPECT_TRUE(truth("LAST = 'Smi'"));
    EXPECT_TRUE(truth("'mit' $ LAST"));
    EXPECT_FALSE(truth("'' $ LAST"));
    EXPECT_FALSE(truth("'Smithy' $ 'Smith'"));
}

TEST(Conditions, NumbersDatesLogicals) {
    EXPECT_TRUE(truth("AGE>40"));
    EXPECT_FALSE(truth("AGE>40", {"", "", "", "", "40"}));
    EXPECT_TRUE(truth("SALARY = 1234.5"));
    EXPECT_TRUE(truth("SALARY >= 1234.50 .AND. SALARY <= 1234.5"));
    EXPECT_TRUE(truth("0.1+0.2 == 0.3"));
    EXPECT_TRUE(truth("HIREDATE > STOD('20221231')"));
    EXPECT_TRUE(truth("HIREDATE = STOD('20230115')"));
    EXPECT_TRUE(truth("MARRIED"));
    EXPECT_TRUE(truth("MARRIED = .T."));
    EXPECT_TRUE(truth(".F. < .T."));
    EXPECT_TRUE(truth(".y. .and. !.n."));
    EXPECT_TRUE(truth(".NOT. AGE = 3"));  // .NOT. binds looser than =
    EXPECT_TRUE(truth("!AGE=3.AND.AGE=41"));
    EXPECT_TRUE(truth("AGE=1 .OR. AGE=41 .AND. .T."));
    EXPECT_TRUE(truth("AGE=41.AND..T."));  // "41." leaves its point to ".AND."
    EXPECT_EQ(error("1.AND..T."), "type mismatch at 2: numeric .AND. logical");
}

TEST(Conditions, TheRealForConditions) {
    const auto fields = fields_of({{"CODE", 'N', 10}});
    expr::Compiled c = expr::compile("CODE/3 == INT(CODE/3)", fields);
    ASSERT_EQ(c.error, "");
    for (int code = 0; code < 20; ++code) {
        const auto r = record_of(fields, {std::to_string(code)});
        EXPECT_EQ(expr::holds(c.program, r, 1), code % 3 == 0) << code;
    }
    EXPECT_TRUE(truth("!Deleted()"));
    EXPECT_FALSE(truth("!Deleted()", smith, true));
    EXPECT_TRUE(truth("DELETED()", smith, true));
    EXPECT_TRUE(truth("EMPTY(SPACE(3)) .AND. EMPTY(0) .AND. EMPTY(STOD('')) .AND. EMPTY(.F.)"));
    EXPECT_FALSE(truth("EMPTY(LAST) .OR. EMPTY(AGE) .OR. EMPTY(HIREDATE) .OR. EMPTY(MARRIED)"));
}

TEST(Conditions, HoldsIsFalseForAValueThatIsNotLogical) {
    expr::Compiled c = expr::compile("LAST", people);
    const auto r = record_of(people, smith);
    EXPECT_FALSE(expr::holds(c.program, r, 1));
}

// ---------------------------------------------------------------- errors

TEST(Errors, SayWhatAndWhere) {
    EXPECT_EQ(error(""), "empty expression");
    EXPECT_EQ(error("   "), "empty expression");
    EXPECT_EQ(error("NAMEX"), "unknown field NAMEX");
    EXPECT_EQ(error("UPPER(namex)"), "unknown field NAMEX");
    EXPECT_EQ(error("MES_ANO(NAMEX)"), "unknown field NAMEX");
    EXPECT_EQ(error("(LAST"), "unbalanced parenthesis at 1");
    EXPECT_EQ(error("UPPER(LAST"), "unbalanced parenthesis at 6");
    EXPECT_EQ(error("LAST+FIRST) "), "unbalanced parenthesis at 11");
    EXPECT_EQ(error(")"), "unbalanced parenthesis at 1");
    EXPECT_EQ(error("(LAST FIRST)"), "expected ')' at 7");
    EXPECT_EQ(error("LAST FIRST"), "unexpected 'FIRST' at 6");
    EXPECT_EQ(error("LAST+"), "expression ends where a value is expected at 6");
    EXPECT_EQ(error("*LAST"), "unexpected '*' where a value is expected at 1");
    EXPECT_EQ(error("'abc"), "unterminated string at 1");
    EXPECT_EQ(error("[abc'"), "unterminated string at 1");
    EXPECT_EQ(error("LAST & FIRST"), "unexpected character '&' at 6");
    EXPECT_EQ(error("LAST\x01"), "unexpected byte 01h at 5");
    EXPECT_EQ(error("LAST .XOR. FIRST"), "unexpected '.' at 6");
    EXPECT_EQ(error("LAST+1"), "type mismatch at 5: character + numeric");
    EXPECT_EQ(error("AGE-LAST"), "type mismatch at 4: numeric - character");
    EXPECT_EQ(error("HIREDATE+HIREDATE"), "type mismatch at 9: date + date");
    EXPECT_EQ(error("AGE*LAST"), "type mismatch at 4: numeric * character");
    EXPECT_EQ(error("AGE = LAST"), "type mismatch at 5: numeric = character");
    EXPECT_EQ(error("AGE $ LAST"), "type mismatch at 5: numeric $ character");
    EXPECT_EQ(error("-LAST"), "type mismatch at 1: -character");
    EXPECT_EQ(error("!AGE"), "type mismatch at 1: .NOT. numeric");
    EXPECT_EQ(error("AGE .AND. MARRIED"), "type mismatch at 5: numeric .AND. logical");
    EXPECT_EQ(error("UPPER(AGE)"), "UPPER needs a character argument 1 at 7, not numeric");
    EXPECT_EQ(error("UPPE(LAST,1)"), "UPPER takes 1 argument, not 2 at 1");
    EXPECT_EQ(error("SUBSTR(LAST)"), "SUBSTR takes 2 to 3 arguments, not 1 at 1");
    EXPECT_EQ(error("STR(AGE,,2)"), "missing argument at 9");
    EXPECT_EQ(error("IIF(MARRIED,1,'a')"),
              "IIF needs its two values of one type at 1, not numeric and character");
    EXPECT_EQ(error("NOTES"), "memo field NOTES: its text is not in the table");
    EXPECT_EQ(error("TEST->"), "expected a field name after -> at 7");
    EXPECT_EQ(error("1" + std::string(40, '0')), "number too long at 1");
    EXPECT_EQ(error(std::string(expr::max_text + 1, ' ')),
              "expression too long (4097 bytes, at most 4096)");
}

TEST(Errors, HostileTextIsRefusedNotFollowed) {
    const std::string deep = "expression nested too deeply (more than 64 levels)";
    EXPECT_EQ(error(std::string(2000, '(') + "1" + std::string(2000, ')')), deep);
    EXPECT_EQ(error(std::string(4000, '(')), deep);
    EXPECT_EQ(error(std::string(4000, '-') + "1"), deep);
    EXPECT_EQ(error(std::string(4000, '!') + ".T."), deep);
    std::string calls;
    for (int i = 0; i < 500; ++i) calls += "UPPER(";
    EXPECT_EQ(error(calls + "LAST" + std::string(500, ')')), deep);
    // 63 levels are fine.
    EXPECT_EQ(error(std::string(63, '(') + "1" + std::string(63, ')')), "");
    // Long flat chains need no nesting at all.
    std::string sum = "1";
    for (int i = 0; i < 1000; ++i) sum += "+1";
    EXPECT_EQ(text("STR(" + sum + ",5)"), " 1001");
    std::string names = "LAST";
    for (int i = 0; i < 800; ++i) names += "+LAST";
    EXPECT_EQ(text(names).size(), 801u * 20);
    // Buffers sized from the record are bounded in total.
    std::string spaces = "SPACE(AGE)";
    for (int i = 0; i < 16; ++i) spaces += "+SPACE(AGE)";
    EXPECT_EQ(error(spaces), "expression needs more than 1024 KiB of text buffers");
    EXPECT_EQ(error("'" + std::string(4000, 'x') + "'"), "");
}

// STRTRAN: occurrences left to right, none overlapping, from the start-th
// on, count of them.
TEST(Text, Strtran) {
    EXPECT_EQ(text("STRTRAN('a.b.c','.','')"), "abc");
    EXPECT_EQ(text("STRTRAN('a.b.c','.')"), "abc");
    EXPECT_EQ(text("STRTRAN('a.b.c','.','->')"), "a->b->c");
    EXPECT_EQ(text("STRTRAN('aaaa','aa','b')"), "bb");
    EXPECT_EQ(text("STRTRAN('aaa','aa','b')"), "ba");
    EXPECT_EQ(text("STRTRAN('a.b.c.d','.','-',2)"), "a.b-c-d");
    EXPECT_EQ(text("STRTRAN('a.b.c.d','.','-',2,1)"), "a.b-c.d");
    EXPECT_EQ(text("STRTRAN('a.b.c.d','.','-',0,2)"), "a-b-c.d");
    EXPECT_EQ(text("STRTRAN('a.b.c.d','.','-',1,0)"), "a.b.c.d");
    EXPECT_EQ(text("STRTRAN('a.b','','-')"), "a.b");
    EXPECT_EQ(text("STRTRAN('a.b','xyz','-')"), "a.b");
    EXPECT_EQ(text("STRTRAN(TRIM(LAST),'i','II')"), "SmIIth");
    EXPECT_EQ(text("STRT(LAST,' ')"), "Smith");
    // The longest it can grow: every byte found and replaced.
    EXPECT_EQ(text("STRTRAN(DESCRICAOO,SUBSTR(DESCRICAOO,1,1),'xyz')", {"", "", "", "", "", "",
                                                                         "", "", "", "aaaaa"}),
              "xyzxyzxyzxyzxyz");
    EXPECT_EQ(error("STRTRAN(LAST)"), "STRTRAN takes 2 to 5 arguments, not 1 at 1");
    EXPECT_EQ(error("STRTRAN(LAST,'a','b','c')"),
              "STRTRAN needs a numeric argument 4 at 22, not character");
}

// The fields an expression reads, each once, as the checker watches them.
TEST(Program, ListsTheFieldsItReads) {
    const auto read = [](std::string_view t) {
        return expr::compile(t, people).program.fields_read;
    };
    EXPECT_EQ(read("UPPER(LAST)+DTOS(HIREDATE)+STR(AGE,3)+LAST"),
              (std::vector<std::uint32_t>{1, 2, 4}));
    EXPECT_EQ(read("IIF(MARRIED, T->FIRST, FIELD->LAST) + MES_ANO(SALARY)"),
              (std::vector<std::uint32_t>{5, 0, 1, 3}));
    EXPECT_EQ(read("'constant'"), std::vector<std::uint32_t>{});
}

TEST(AppFunction, CompilesButIsNamed) {
    const auto app = [](std::string_view t) {
        const expr::Compiled c = expr::compile(t, people);
        EXPECT_EQ(c.error, "") << t;
        return c.app_function;
    };
    EXPECT_EQ(app("DTOS(HIREDATE)+MES_ANO(HIREDATE)+STR(AGE,3)"), "MES_ANO");
    EXPECT_EQ(app("LAST+DTOC(HIREDATE)"), "DTOC");
    EXPECT_EQ(app("DTOS(CTOD('01/02/03'))"), "CTOD");
    EXPECT_EQ(app("SUBS(DTOC(HIREDATE),4,2)+FOO(1)"), "DTOC");
    EXPECT_EQ(app("M->LIMIT < AGE"), "M->LIMIT");
    EXPECT_EQ(app("SUBSTRING(LAST,1)"), "SUBSTRING");
    EXPECT_EQ(app("UPPER(LAST)"), "");
    // Its value is empty, whatever the type it stands for, and a key is
    // still made: its type is the one it meets.
    expr::Compiled c = expr::compile("X(1)+X(2)*3", people);
    EXPECT_EQ(c.error, "");
    const auto r = record_of(people, smith);
    std::string k(5, '?');
    expr::make_key(c.program, r, 1, {reinterpret_cast<std::uint8_t*>(k.data()), k.size()}, 0);
    EXPECT_EQ(k, "00000");  // X(1) + 0: numeric
    EXPECT_EQ(expr::compile("IIF(F(),1,G())+2", people).type, expr::Type::numeric);
    EXPECT_EQ(expr::compile("DTOC(HIREDATE)+'x'", people).type, expr::Type::character);
}

TEST(Program, MovesAndKeepsItsConstants) {
    expr::Compiled c = expr::compile("'<'+TRIM(LAST)+'>'", people);
    expr::Program moved = std::move(c.program);
    const auto r = record_of(people, smith);
    const expr::Value& v = expr::evaluate(moved, r, 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(v.text), v.length), "<Smith>");
    expr::Program not_compiled;
    std::string k(3, '?');
    expr::make_key(not_compiled, r, 1, {reinterpret_cast<std::uint8_t*>(k.data()), k.size()}, 0);
    EXPECT_EQ(k, "   ");
    EXPECT_FALSE(expr::holds(not_compiled, r, 1));
}

// ------------------------------------------------- the real index/table pairs

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

unsigned u16(const Bytes& b, std::size_t at) {
    return at + 2 <= b.size() ? static_cast<unsigned>(b[at] | b[at + 1] << 8) : 0u;
}
std::uint32_t u32(const Bytes& b, std::size_t at) {
    return at + 4 <= b.size() ? static_cast<std::uint32_t>(u16(b, at) | u16(b, at + 2) << 16) : 0;
}

// A zero-terminated text inside [at, at + size); empty when it does not end there.
std::string header_text(const Bytes& b, std::size_t at, std::size_t size) {
    std::string s;
    for (std::size_t i = at; i < at + size && i < b.size(); ++i) {
        if (b[i] == 0) return s;
        s += static_cast<char>(b[i]);
    }
    return "";
}

// Every (recno, key) the tree holds, walked from the root; pages visited once.
std::vector<std::pair<std::uint32_t, std::string>> index_entries(const Bytes& ix) {
    const std::size_t key_size = u16(ix, 14);
    std::vector<std::pair<std::uint32_t, std::string>> out;
    std::vector<std::uint32_t> pages = {u32(ix, 4)};
    std::set<std::uint32_t> seen;
    while (!pages.empty()) {
        const std::uint32_t page = pages.back();
        pages.pop_back();
        if (!seen.insert(page).second || page + std::size_t{1024} > ix.size()) continue;
        const unsigned n = u16(ix, page);
        for (unsigned j = 0; j <= n && j < 511; ++j) {
            const std::size_t item = page + u16(ix, page + 2 + 2 * j);
            if (item + 8 > page + std::size_t{1024}) continue;
            if (const std::uint32_t child = u32(ix, item)) pages.push_back(child);
            if (j < n && item + 8 + key_size <= ix.size())
                out.emplace_back(u32(ix, item + 4),
                                 std::string(ix.begin() + static_cast<long>(item + 8),
                                             ix.begin() + static_cast<long>(item + 8 + key_size)));
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

TEST(RealPairs, EveryConsistentPairHoldsExactlyTheKeysOfItsTable) {
    const fs::path tables = REAL_TABLES_DIR, indexes = REAL_INDEXES_DIR;
    std::ifstream list(tables / "PAIRS.tsv");
    if (!list) GTEST_SKIP() << "no " << tables / "PAIRS.tsv";
    std::string line;
    std::getline(list, line);  // the column names
    int consistent = 0, matched = 0, recnos_only = 0, differ_found = 0, differs = 0;
    while (std::getline(list, line)) {
        std::istringstream row(line);
        std::string index, table, expected;
        std::getline(row, index, '\t');
        std::getline(row, table, '\t');
        std::getline(row, expected, '\t');
        SCOPED_TRACE(index);
        const Bytes ix = read_file(indexes / index), db = read_file(tables / table);
        const auto hl = dbf::header_length({db.data(), std::min(dbf::prologue_size, db.size())});
        ASSERT_TRUE(hl);
        const dbf::TableDecoded d =
            dbf::decode_table_header({db.data(), std::min(*hl, db.size())});
        ASSERT_TRUE(d.header) << d.error;
        const dbf::TableHeader& h = *d.header;

        const std::string key_text = header_text(ix, 22, 256);
        const std::string for_text = header_text(ix, 282, 256);
        expr::Compiled key = expr::compile(key_text, h.fields);
        ASSERT_EQ(key.error, "") << key_text;
        expr::Compiled cond = expr::compile(for_text.empty() ? ".T." : for_text, h.fields);
        ASSERT_EQ(cond.error, "") << for_text;
        ASSERT_EQ(cond.type, expr::Type::logical) << for_text;
        if (expected == "keys-not-compared") {
            EXPECT_NE(key.app_function, "") << key_text;
            continue;
        }
        const bool keys = key.app_function.empty();

        const std::size_t key_size = u16(ix, 14);
        const unsigned key_decimals = u16(ix, 16);
        std::vector<std::pair<std::uint32_t, std::string>> want;
        std::string k(key_size, ' ');
        for (std::uint32_t recno = 1; recno <= h.record_count; ++recno) {
            const std::uint64_t at = dbf::record_offset(h, recno);
            if (at + h.record_length > db.size()) break;
            const dbf::Bytes record{db.data() + at, h.record_length};
            if (!expr::holds(cond.program, record, recno)) continue;
            expr::make_key(key.program, record, recno,
                           {reinterpret_cast<std::uint8_t*>(k.data()), k.size()}, key_decimals);
            want.emplace_back(recno, keys ? k : "");
        }
        std::sort(want.begin(), want.end());
        auto got = index_entries(ix);
        if (!keys)
            for (auto& e : got) e.second.clear();
        if (expected == "consistent") {
            ++consistent;
            if (!keys) ++recnos_only;
            if (got == want) ++matched;
            // The first few entries that differ, both ways.
            std::vector<std::pair<std::uint32_t, std::string>> missing, extra;
            std::set_difference(want.begin(), want.end(), got.begin(), got.end(),
                                std::back_inserter(missing));
            std::set_difference(got.begin(), got.end(), want.begin(), want.end(),
                                std::back_inserter(extra));
            const auto first = [](const auto& entries) {
                return entries.empty() ? std::string()
                                       : std::to_string(entries[0].first) + " '" +
                                             entries[0].second + "'";
            };
            EXPECT_TRUE(missing.empty() && extra.empty())
                << key_text << " FOR " << for_text << ": " << missing.size()
                << " not in the index (" << first(missing) << "), " << extra.size()
                << " not in the table (" << first(extra) << ")";
        } else {
            ++differs;
            if (got != want) ++differ_found;
        }
    }
    std::cout << "consistent pairs: " << matched << " of " << consistent << " match exactly ("
              << recnos_only << " by record numbers only); pairs out of date: " << differ_found
              << " of " << differs << " found to differ\n";
}

}  // namespace

namespace {

// The key size a new index gets from its expression.
TEST(Key, SizeOfANewIndexsKeyFollowsTheValue) {
    const struct {
        const char* text;
        std::uint32_t length, decimals;
    } cases[] = {
        {"LAST", 20, 0},           {"UPPER(LAST+FIRST)", 40, 0}, {"LEFT(LAST, 3)", 3, 0},
        {"HIREDATE", 8, 0},        {"DTOS(HIREDATE)", 8, 0},     {"MARRIED", 1, 0},
        {"SALARY", 10, 2},         {"AGE", 3, 0},                {"AGE * 2", 10, 0},
        {"STR(AGE, 5) + LAST", 25, 0},
    };
    for (const auto& c : cases) {
        const expr::Compiled compiled = expr::compile(c.text, people);
        ASSERT_TRUE(compiled.error.empty()) << c.text << ": " << compiled.error;
        EXPECT_EQ(compiled.key_length, c.length) << c.text;
        EXPECT_EQ(compiled.key_decimals, c.decimals) << c.text;
    }
}

}  // namespace
