// Byte counts, octal modes, 64-bit printers and UUID text.
#include "quor_convert.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

struct BytesCase {
  const char *text;
  int64_t value;
  int error;
};

TEST(ConvertAtobytesll, ParsesUnitsSignsAndRoundsFractions) {
  const BytesCase cases[] = {
      {"0", 0, 0},
      {"123", 123, 0},
      {"-2k", -2048, 0},
      {"2K", 2048, 0},
      {"10mb", 10485760, 0},
      {"10Mb", 10485760, 0},
      {"1.5g", 1610612736, 0},
      {"1.5t", 1649267441664, 0},
      {"3pb", 3377699720527872, 0},
      {"7x", 8070450532247928832, 0},
      {"1.0k", 1024, 0},
      // Nearest whole byte, halves away from zero.
      {"0.5", 1, 0},
      {"0.4", 0, 0},
      {"-1.5", -2, 0},
      {"1.0005k", 1025, 0},  // 1024.512
      {"1.0004k", 1024, 0},  // 1024.4096
      {"7.5x", 8646911284551352320, 0},
      // A lone sign, point or unit is an empty number.
      {"-", 0, 0},
      {".", 0, 0},
      {"k", 0, 0},
      {"-.k", 0, 0},
  };
  for (const BytesCase &c : cases) {
    SCOPED_TRACE(c.text);
    int error = 99;
    EXPECT_EQ(atobytesll(c.text, &error), c.value);
    EXPECT_EQ(error, c.error);
  }
}

TEST(ConvertAtobytesll, RefusesBadTextWithZero) {
  const BytesCase cases[] = {
      {"", 0, -22},       {"10 MB", 0, -22}, {"1 ", 0, -22},   {" 1", 0, -22},  {"+1", 0, -22},
      {"1kbb", 0, -22},   {"1b", 0, -22},    {"1q", 0, -22},   {"1.5.5", 0, -22}, {"--1", 0, -22},
      {"abc", 0, -22},    {"1e3", 0, -22},
  };
  for (const BytesCase &c : cases) {
    SCOPED_TRACE(c.text);
    int error = 99;
    EXPECT_EQ(atobytesll(c.text, &error), c.value);
    EXPECT_EQ(error, c.error);
  }
  int error = 99;
  EXPECT_EQ(atobytesll(nullptr, &error), 0);
  EXPECT_EQ(error, -14);
}

TEST(ConvertAtobytesll, RangeEndsAndOverflow) {
  const BytesCase cases[] = {
      {"9223372036854775807", INT64_MAX, 0},
      {"-9223372036854775808", INT64_MIN, 0},
      {"9223372036854775808", 0, -34},
      {"-9223372036854775809", 0, -34},
      // 2^53 k is 2^63: one past the top for a positive count.
      {"9007199254740992k", 0, -34},
      {"9007199254740991k", 9223372036854774784, 0},
      {"-9007199254740992k", INT64_MIN, 0},
      {"8x", 0, -34},
      {"-8x", INT64_MIN, 0},
      // Unchecked accumulation would wrap these to small numbers or 0.
      {"18446744073709551616", 0, -34},
      {"18446744073709551617k", 0, -34},
      {"36893488147419103232k", 0, -34},
      {"-18446744073709551616", 0, -34},
      {"99999999999999999999999999999", 0, -34},
      // The fraction alone pushes the result past the range.
      {"9223372036854775807.5", 0, -34},
      {"-9223372036854775807.5", INT64_MIN, 0},
      {"9223372036854775806.5", INT64_MAX, 0},
      {"8191.99999999999999999999p", 0, -34},
      {"8191.5p", 9222809086901354496, 0},
  };
  for (const BytesCase &c : cases) {
    SCOPED_TRACE(c.text);
    int error = 99;
    EXPECT_EQ(atobytesll(c.text, &error), c.value);
    EXPECT_EQ(error, c.error);
  }
}

TEST(ConvertAtobytes, ZeroOnAnyErrorAndForTheLowestValue) {
  EXPECT_EQ(atobytes("abc"), 0);
  EXPECT_EQ(atobytes(nullptr), 0);
  EXPECT_EQ(atobytes(""), 0);
  EXPECT_EQ(atobytes("9007199254740992k"), 0);
  EXPECT_EQ(atobytes("-8x"), 0);
  EXPECT_EQ(atobytes("4k"), 4096);
  EXPECT_EQ(atobytes("-2k"), -2048);
  EXPECT_EQ(atobytes("1.5m"), 1572864);
}

TEST(ConvertAtooctal, DigitsAfterLeadingBlanksOnly) {
  const struct {
    const char *text;
    int value;
  } cases[] = {
      {"755", 493},
      {"   755", 493},
      {"\t 0644", 420},
      {"0", 0},
      {"17777777777", 2147483647},
      {"755 ", -1},
      {"8", -1},
      {"79", -1},
      {"-1", -1},
      {"", -1},
      {"   ", -1},
      {"7 5", -1},
      {"20000000000", -1},  // 2^31
      {"7777777777777777777777", -1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(atooctal(c.text), c.value);
  }
  EXPECT_EQ(atooctal(nullptr), -1);
}

struct Bytes64Case {
  const char *text;
  uint64_t value;
  int code;
};

void expectBytes64(const Bytes64Case *cases, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    SCOPED_TRACE(cases[i].text);
    int code = 99;
    EXPECT_EQ(atobytes64(cases[i].text, &code), cases[i].value);
    EXPECT_EQ(code, cases[i].code);
  }
}

TEST(ConvertAtobytes64, UnitsAndDigitRules) {
  const Bytes64Case cases[] = {
      {"0", 0, 0},
      {"12", 12, 0},
      {"2KB", 2048, 0},
      {"2kb", 2048, 0},
      {"2k", 2048, 0},
      {"3m", 3145728, 0},
      {"1G", 1073741824, 0},
      {"1tb", 1099511627776, 0},
      {"1P", 1125899906842624, 0},
      {"1x", 1152921504606846976, 0},
      {" 12K", 12288, 0},
      {"12a4K", 12288, 0},  // digits stop at the a
      {"18446744073709551615", UINT64_MAX, 0},
      {"00000000000000000001K", 1024, 0},  // 20 characters before the unit
      {"", 0, -1},
      {"12Q", 0, -1},
      {"12B", 0, -1},
      {"12.", 0, -1},
      {"18446744073709551616", 0, -1},
      {"99999999999999999999", 0, -1},
      {"000000000000000000001", 0, -1},  // 21 characters
  };
  expectBytes64(cases, sizeof cases / sizeof cases[0]);
  int code = 99;
  EXPECT_EQ(atobytes64(nullptr, &code), 0u);
  EXPECT_EQ(code, -1);
  std::string long_text(128, '0');
  EXPECT_EQ(atobytes64(long_text.c_str(), &code), 0u);
  EXPECT_EQ(code, -1);
}

TEST(ConvertAtobytes64, ThousandthsAreExactDecimals) {
  const Bytes64Case cases[] = {
      {"2.5", 2, 0},
      {"1.5", 1, 0},
      {"1.999", 1, 0},
      {"1.5K", 1536, 0},
      {"1.5M", 1572864, 0},
      {"1.5kb", 1536, 0},
      {"0.001K", 1, 0},
      {".5K", 512, 0},
      {"0.9999K", 1022, 0},   // 999 thousandths, 1022.976 KB dropped to 1022
      {"1.0005K", 1024, 0},   // fourth decimal dropped
      {"1000.5K", 1024000, 0},
      {"999.999K", 1023998, 0},  // 999999 thousandths: 1023998.976
      {"4194303.999K", 4294966272, 0},
      {"4194304.999K", 4294967296, 0},
      // A single-precision float cannot hold these digits.
      {"12345678.5K", 12641974272, 0},
      {"16777217.001M", 17592187092992, 0},
      {"12a.5K", 12288, 0},  // digits stop at the a, before the point
      {"12345678.5", 12345678, 0},
      {"123456789.5K", 0, -1},  // nine characters before the point
      {"        1.5K", 0, -1},  // blanks count too
  };
  expectBytes64(cases, sizeof cases / sizeof cases[0]);
}

TEST(ConvertAtobytes64, RefusesResultsPastSixtyFourBits) {
  const Bytes64Case cases[] = {
      // Integers: value < 2^(64 - shift).
      {"18014398509481983K", 18446744073709550592u, 0},  // 2^54 - 1
      {"18014398509481984K", 0, -1},
      {"576460752303423488K", 0, -1},  // 2^59
      {"17592186044415M", 18446744073708503040u, 0},  // 2^44 - 1
      {"17592186044416M", 0, -1},
      {"17179869183G", 18446744072635809792u, 0},  // 2^34 - 1
      {"17179869184G", 0, -1},
      {"16777215T", 18446742974197923840u, 0},  // 2^24 - 1
      {"16777216T", 0, -1},
      {"16383P", 18445618173802708992u, 0},  // 2^14 - 1
      {"16384P", 0, -1},
      {"15X", 17293822569102704640u, 0},
      {"16X", 0, -1},
      {"16xb", 0, -1},
      // Thousandths: the result itself must stay below 2^64.
      {"16777215.5T", 18446742974197923840u, 0},
      {"16777216.5T", 0, -1},
      {"16383.999P", 18445618173802708992u, 0},
      {"16384.0P", 0, -1},
      {"15.999X", 18444492273895866368u, 0},  // 16382 KB-units of 2^50
      {"16.0X", 0, -1},
      {"99999999.999G", 107374181326258176, 0},  // 99999999 * 2^30
  };
  expectBytes64(cases, sizeof cases / sizeof cases[0]);
}

TEST(ConvertStrtou64, DigitsOnlyWithoutWrapping) {
  const Bytes64Case cases[] = {
      {"", 0, 0},
      {"0", 0, 0},
      {"42", 42, 0},
      {"18446744073709551615", UINT64_MAX, 0},
      {"0000000000000000000000018446744073709551615", UINT64_MAX, 0},
      {"18446744073709551616", 0, -1},
      {"18446744073709551620", 0, -1},
      {"99999999999999999999", 0, -1},
      {"184467440737095516150", 0, -1},
      {"12a", 0, -1},
      {" 12", 0, -1},
      {"12 ", 0, -1},
      {"-1", 0, -1},
      {"+1", 0, -1},
  };
  for (const Bytes64Case &c : cases) {
    SCOPED_TRACE(c.text);
    int code = 99;
    EXPECT_EQ(strtou64(c.text, &code), c.value);
    EXPECT_EQ(code, c.code);
  }
  int code = 99;
  EXPECT_EQ(strtou64(nullptr, &code), 0u);
  EXPECT_EQ(code, -1);
}

TEST(ConvertPrinters, PlainAndWithThousandsSeparators) {
  const struct {
    uint64_t value;
    const char *plain;
    const char *grouped;
  } cases[] = {
      {0, "0", "0"},
      {7, "7", "7"},
      {999, "999", "999"},
      {1000, "1000", "1,000"},
      {100000, "100000", "100,000"},
      {1234567, "1234567", "1,234,567"},
      {UINT64_MAX, "18446744073709551615", "18,446,744,073,709,551,615"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.plain);
    EXPECT_STREQ(u64tostr(c.value), c.plain);
    EXPECT_STREQ(u64tostrwc(c.value), c.grouped);
    char buf[21];
    memset(buf, 'z', sizeof buf);
    EXPECT_EQ(u64tostr_r(c.value, buf), buf);
    EXPECT_STREQ(buf, c.plain);
  }
}

TEST(ConvertPrinters, StaticBuffersAreShared) {
  char *plain = u64tostr(5);
  EXPECT_STREQ(plain, "5");
  char *grouped = u64tostrwc(1234567);
  EXPECT_NE(plain, grouped);
  // u64tostrwc formats through u64tostr's buffer.
  EXPECT_STREQ(plain, "1234567");
  EXPECT_STREQ(grouped, "1,234,567");
  EXPECT_EQ(u64tostr(42), plain);
  EXPECT_STREQ(grouped, "1,234,567");
}

TEST(ConvertPrinters, ToDouble) {
  EXPECT_EQ(u64todouble(0), 0.0);
  EXPECT_EQ(u64todouble(9007199254740992u), 9007199254740992.0);
  EXPECT_EQ(u64todouble(UINT64_MAX), 18446744073709551616.0);
}

quor_uuid_t sampleUuid() {
  quor_uuid_t u;
  u.time_low = 0x00112233;
  u.time_mid = 0x4455;
  u.time_hi_and_version = 0x6677;
  u.clock_seq_hi_and_reserved = 0x88;
  u.clock_seq_low = 0x99;
  const uint8_t node[6] = {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
  memcpy(u.node, node, sizeof node);
  return u;
}

const char kSampleText[] = "00112233-4455-6677-8899-aabbccddeeff";

TEST(ConvertUuid, TextFormsRoundTripInLowerCase) {
  const quor_uuid_t expected = sampleUuid();
  quor_uuid_t lower;
  quor_uuid_t upper;
  memset(&lower, 0, sizeof lower);
  memset(&upper, 0, sizeof upper);
  ASSERT_EQ(quor_uuid_from_string(kSampleText, &lower), 0);
  ASSERT_EQ(quor_uuid_from_string("00112233-4455-6677-8899-AABBCCDDEEFF", &upper), 0);
  EXPECT_EQ(memcmp(&lower, &expected, sizeof expected), 0);
  EXPECT_EQ(memcmp(&upper, &expected, sizeof expected), 0);

  char *text = nullptr;
  ASSERT_EQ(quor_uuid_to_string(&upper, &text), 0);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, kSampleText);
  free(text);

  // Every field is printed at full width with leading zeros.
  quor_uuid_t small;
  memset(&small, 0, sizeof small);
  small.time_low = 1;
  small.time_mid = 2;
  small.time_hi_and_version = 0xabc;
  small.clock_seq_low = 0xa;
  small.node[5] = 1;
  char buf[37];
  ASSERT_EQ(quor_uuid_snprintf(buf, sizeof buf, &small), 0);
  EXPECT_STREQ(buf, "00000001-0002-0abc-000a-000000000001");

  // Short groups scan like the format's widths allow.
  quor_uuid_t parsed;
  ASSERT_EQ(quor_uuid_from_string("1-2-abc-000a-000000000001", &parsed), 0);
  EXPECT_EQ(memcmp(&parsed, &small, sizeof small), 0);
}

TEST(ConvertUuid, SnprintfReportsTruncationAndBadArguments) {
  const quor_uuid_t u = sampleUuid();
  char buf[64];
  memset(buf, 'z', sizeof buf);
  EXPECT_EQ(quor_uuid_snprintf(buf, 36, &u), -20010);
  EXPECT_EQ(strlen(buf), 35u);
  EXPECT_EQ(std::string(buf), std::string(kSampleText, 35));

  EXPECT_EQ(quor_uuid_snprintf(buf, 1, &u), -20010);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(quor_uuid_snprintf(buf, 37, &u), 0);
  EXPECT_STREQ(buf, kSampleText);

  EXPECT_EQ(quor_uuid_snprintf(nullptr, 37, &u), -14);
  EXPECT_EQ(quor_uuid_snprintf(buf, 0, &u), -14);
  EXPECT_EQ(quor_uuid_snprintf(buf, sizeof buf, nullptr), -22);

  char *text = nullptr;
  EXPECT_EQ(quor_uuid_to_string(nullptr, &text), -14);
  EXPECT_EQ(quor_uuid_to_string(&u, nullptr), -14);
}

TEST(ConvertUuid, FromStringRefusesBadTextsAndKeepsTheUuid) {
  const char *bad[] = {
      "00112233-4455-6677-8899-aabbccddeeff0",  // 37 characters
      "00112233-4455-6677-8899-aabbccddeeff-and-more-text",
      "not-a-uuid",
      "00112233-4455-6677-8899",
      "00112233-4455-6677-8899-aabbccddee",  // five node bytes
      "00112233_4455-6677-8899-aabbccddeeff",
      "0011223g-4455-6677-8899-aabbccddeeff",
      "00112233-4455-6677-8899-aabbccddeefg",
      "00112233-4455-6677-88-99aabbccddeeff",
      "+0112233-4455-6677-8899-aabbccddeeff",
      " 0112233-4455-6677-8899-aabbccddeeff",
      "0x112233-4455-6677-8899-aabbccddeeff",
      "00112233--455-6677-8899-aabbccddeeff",
      "-",
  };
  const quor_uuid_t original = sampleUuid();
  for (const char *text : bad) {
    SCOPED_TRACE(text);
    quor_uuid_t u = original;
    EXPECT_EQ(quor_uuid_from_string(text, &u), -22);
    EXPECT_EQ(memcmp(&u, &original, sizeof u), 0);
  }

  quor_uuid_t u = original;
  EXPECT_EQ(quor_uuid_from_string(nullptr, &u), 0);
  EXPECT_EQ(quor_uuid_from_string("", &u), 0);
  EXPECT_EQ(memcmp(&u, &original, sizeof u), 0);
  EXPECT_EQ(quor_uuid_from_string(kSampleText, nullptr), -14);
}

TEST(ConvertUuid, EqualNeedsBothPresent) {
  quor_uuid_t a = sampleUuid();
  quor_uuid_t b = sampleUuid();
  EXPECT_EQ(quor_uuid_equal(&a, &b), 1);
  EXPECT_EQ(quor_uuid_equal(&a, &a), 1);
  EXPECT_EQ(quor_uuid_equal(&a, nullptr), 0);
  EXPECT_EQ(quor_uuid_equal(nullptr, &b), 0);
  EXPECT_EQ(quor_uuid_equal(nullptr, nullptr), 0);
  b.node[5] ^= 1;
  EXPECT_EQ(quor_uuid_equal(&a, &b), 0);
  b = a;
  b.time_low ^= 0x80000000u;
  EXPECT_EQ(quor_uuid_equal(&a, &b), 0);
}

TEST(ConvertUuid, CompareOrdersFieldsThenSignedNodeBytes) {
  const struct {
    const char *a;
    const char *b;
    int result;
  } cases[] = {
      {"00112233-4455-6677-8899-aabbccddeeff", "00112233-4455-6677-8899-aabbccddeeff", 0},
      // Fields compare unsigned.
      {"80000000-0000-0000-0000-000000000000", "7fffffff-0000-0000-0000-000000000000", 1},
      {"00000000-8000-0000-0000-000000000000", "00000000-7fff-0000-0000-000000000000", 1},
      {"00000000-0000-ffff-0000-000000000000", "00000000-0000-0001-0000-000000000000", 1},
      {"00000000-0000-0000-8000-000000000000", "00000000-0000-0000-7f00-000000000000", 1},
      {"00000000-0000-0000-0080-000000000000", "00000000-0000-0000-007f-000000000000", 1},
      // The earlier field decides even when a later one differs the other way.
      {"00000001-0000-0000-0000-000000000000", "00000000-ffff-ffff-ffff-7fffffffffff", 1},
      {"00000000-0000-0000-00ff-000000000000", "00000000-0000-0000-0100-000000000000", -1},
      // Node bytes compare signed: 0x80 and above sort before 0x00..0x7f.
      {"00000000-0000-0000-0000-800000000000", "00000000-0000-0000-0000-010000000000", -1},
      {"00000000-0000-0000-0000-ff0000000000", "00000000-0000-0000-0000-000000000000", -1},
      {"00000000-0000-0000-0000-7f0000000000", "00000000-0000-0000-0000-800000000000", 1},
      {"00000000-0000-0000-0000-000000000080", "00000000-0000-0000-0000-00000000007f", -1},
      {"00000000-0000-0000-0000-0000000000fe", "00000000-0000-0000-0000-0000000000ff", -1},
      {"00000000-0000-0000-0000-000000000001", "00000000-0000-0000-0000-0000000000ff", 1},
      {"00000000-0000-0000-0000-010000000000", "00000000-0000-0000-0000-00ffffffffff", 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    quor_uuid_t a;
    quor_uuid_t b;
    ASSERT_EQ(quor_uuid_from_string(c.a, &a), 0);
    ASSERT_EQ(quor_uuid_from_string(c.b, &b), 0);
    EXPECT_EQ(quor_uuid_compare(&a, &b), c.result);
    EXPECT_EQ(quor_uuid_compare(&b, &a), -c.result);
  }
  const quor_uuid_t u = sampleUuid();
  EXPECT_EQ(quor_uuid_compare(&u, nullptr), -2);
  EXPECT_EQ(quor_uuid_compare(nullptr, &u), -2);
  EXPECT_EQ(quor_uuid_compare(nullptr, nullptr), -2);
}

TEST(ConvertUuid, HashOfKnownUuid) {
  // 00112233-4455-6677-8899-aabbccddeeff in memory on a little-endian host:
  //   33 22 11 00 55 44 77 66 88 99 aa bb cc dd ee ff
  //   = 51 34 17 0 85 68 119 102 136 153 170 187 204 221 238 255
  // c0 after each byte: 51 85 102 102 187 255 374 476 612 765 935 1122 1326
  //   1547 1785 2040
  // c1 = sum of those = 11764, c0 = 2040
  // (c1 - c0) mod 255 = 9724 mod 255 = 9724 - 38*255 = 34
  // (-c1) mod 255: 11764 mod 255 = 11764 - 46*255 = 34, so 255 - 34 = 221
  // hash = 34 * 256 + 221 = 8925 = 0x22dd
  const quor_uuid_t u = sampleUuid();
  EXPECT_EQ(quor_uuid_hash(&u), 0x22dd);

  // All zero bytes: c0 = c1 = 0, both remainders 0.
  quor_uuid_t zero;
  memset(&zero, 0, sizeof zero);
  EXPECT_EQ(quor_uuid_hash(&zero), 0);

  // Only the last byte 1: c0 = 1, c1 = 1; (0 mod 255) * 256 + (254) = 254.
  zero.node[5] = 1;
  EXPECT_EQ(quor_uuid_hash(&zero), 254);

  // Only the first byte 1: c0 = 1, c1 = 16; 15 * 256 + (255 - 16) = 4079.
  memset(&zero, 0, sizeof zero);
  zero.time_low = 1;
  EXPECT_EQ(quor_uuid_hash(&zero), 4079);
}

}  // namespace
