// Encoding labels, strict UTF-8 validation and decoding of other encodings
// (windows-1252, x-user-defined and UTF-16 by hand, the rest through iconv).
#include "xml/encoding.hpp"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "xml/chars.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace varnex::xml {

namespace {

struct Label {
  std::string_view name;
  Encoding enc;
};

// WHATWG encoding labels, lower case.
// clang-format off
constexpr Label kLabels[] = {
    {"unicode-1-1-utf-8", Encoding::Utf8}, {"unicode11utf8", Encoding::Utf8},
    {"unicode20utf8", Encoding::Utf8}, {"utf-8", Encoding::Utf8}, {"utf8", Encoding::Utf8},
    {"x-unicode20utf8", Encoding::Utf8},
    {"ansi_x3.4-1968", Encoding::Windows1252}, {"ascii", Encoding::Windows1252},
    {"cp1252", Encoding::Windows1252}, {"cp819", Encoding::Windows1252},
    {"csisolatin1", Encoding::Windows1252}, {"ibm819", Encoding::Windows1252},
    {"iso-8859-1", Encoding::Windows1252}, {"iso-ir-100", Encoding::Windows1252},
    {"iso8859-1", Encoding::Windows1252}, {"iso88591", Encoding::Windows1252},
    {"iso_8859-1", Encoding::Windows1252}, {"iso_8859-1:1987", Encoding::Windows1252},
    {"l1", Encoding::Windows1252}, {"latin1", Encoding::Windows1252},
    {"us-ascii", Encoding::Windows1252}, {"windows-1252", Encoding::Windows1252},
    {"x-cp1252", Encoding::Windows1252},
    {"csisolatin2", Encoding::Iso8859_2}, {"iso-8859-2", Encoding::Iso8859_2},
    {"iso-ir-101", Encoding::Iso8859_2}, {"iso8859-2", Encoding::Iso8859_2},
    {"iso88592", Encoding::Iso8859_2}, {"iso_8859-2", Encoding::Iso8859_2},
    {"iso_8859-2:1987", Encoding::Iso8859_2}, {"l2", Encoding::Iso8859_2},
    {"latin2", Encoding::Iso8859_2},
    {"csisolatin3", Encoding::Iso8859_3}, {"iso-8859-3", Encoding::Iso8859_3},
    {"iso-ir-109", Encoding::Iso8859_3}, {"iso8859-3", Encoding::Iso8859_3},
    {"iso88593", Encoding::Iso8859_3}, {"iso_8859-3", Encoding::Iso8859_3},
    {"iso_8859-3:1988", Encoding::Iso8859_3}, {"l3", Encoding::Iso8859_3},
    {"latin3", Encoding::Iso8859_3},
    {"csisolatin4", Encoding::Iso8859_4}, {"iso-8859-4", Encoding::Iso8859_4},
    {"iso-ir-110", Encoding::Iso8859_4}, {"iso8859-4", Encoding::Iso8859_4},
    {"iso88594", Encoding::Iso8859_4}, {"iso_8859-4", Encoding::Iso8859_4},
    {"iso_8859-4:1988", Encoding::Iso8859_4}, {"l4", Encoding::Iso8859_4},
    {"latin4", Encoding::Iso8859_4},
    {"csisolatincyrillic", Encoding::Iso8859_5}, {"cyrillic", Encoding::Iso8859_5},
    {"iso-8859-5", Encoding::Iso8859_5}, {"iso-ir-144", Encoding::Iso8859_5},
    {"iso8859-5", Encoding::Iso8859_5}, {"iso88595", Encoding::Iso8859_5},
    {"iso_8859-5", Encoding::Iso8859_5}, {"iso_8859-5:1988", Encoding::Iso8859_5},
    {"arabic", Encoding::Iso8859_6}, {"asmo-708", Encoding::Iso8859_6},
    {"csiso88596e", Encoding::Iso8859_6}, {"csiso88596i", Encoding::Iso8859_6},
    {"csisolatinarabic", Encoding::Iso8859_6}, {"ecma-114", Encoding::Iso8859_6},
    {"iso-8859-6", Encoding::Iso8859_6}, {"iso-8859-6-e", Encoding::Iso8859_6},
    {"iso-8859-6-i", Encoding::Iso8859_6}, {"iso-ir-127", Encoding::Iso8859_6},
    {"iso8859-6", Encoding::Iso8859_6}, {"iso88596", Encoding::Iso8859_6},
    {"iso_8859-6", Encoding::Iso8859_6}, {"iso_8859-6:1987", Encoding::Iso8859_6},
    {"csisolatingreek", Encoding::Iso8859_7}, {"ecma-118", Encoding::Iso8859_7},
    {"elot_928", Encoding::Iso8859_7}, {"greek", Encoding::Iso8859_7},
    {"greek8", Encoding::Iso8859_7}, {"iso-8859-7", Encoding::Iso8859_7},
    {"iso-ir-126", Encoding::Iso8859_7}, {"iso8859-7", Encoding::Iso8859_7},
    {"iso88597", Encoding::Iso8859_7}, {"iso_8859-7", Encoding::Iso8859_7},
    {"iso_8859-7:1987", Encoding::Iso8859_7}, {"sun_eu_greek", Encoding::Iso8859_7},
    {"csiso88598e", Encoding::Iso8859_8}, {"csisolatinhebrew", Encoding::Iso8859_8},
    {"hebrew", Encoding::Iso8859_8}, {"iso-8859-8", Encoding::Iso8859_8},
    {"iso-8859-8-e", Encoding::Iso8859_8}, {"iso-ir-138", Encoding::Iso8859_8},
    {"iso8859-8", Encoding::Iso8859_8}, {"iso88598", Encoding::Iso8859_8},
    {"iso_8859-8", Encoding::Iso8859_8}, {"iso_8859-8:1988", Encoding::Iso8859_8},
    {"visual", Encoding::Iso8859_8},
    {"csiso88598i", Encoding::Iso8859_8I}, {"iso-8859-8-i", Encoding::Iso8859_8I},
    {"logical", Encoding::Iso8859_8I},
    {"csisolatin6", Encoding::Iso8859_10}, {"iso-8859-10", Encoding::Iso8859_10},
    {"iso-ir-157", Encoding::Iso8859_10}, {"iso8859-10", Encoding::Iso8859_10},
    {"iso885910", Encoding::Iso8859_10}, {"l6", Encoding::Iso8859_10},
    {"latin6", Encoding::Iso8859_10},
    {"iso-8859-13", Encoding::Iso8859_13}, {"iso8859-13", Encoding::Iso8859_13},
    {"iso885913", Encoding::Iso8859_13},
    {"iso-8859-14", Encoding::Iso8859_14}, {"iso8859-14", Encoding::Iso8859_14},
    {"iso885914", Encoding::Iso8859_14},
    {"csisolatin9", Encoding::Iso8859_15}, {"iso-8859-15", Encoding::Iso8859_15},
    {"iso8859-15", Encoding::Iso8859_15}, {"iso885915", Encoding::Iso8859_15},
    {"iso_8859-15", Encoding::Iso8859_15}, {"l9", Encoding::Iso8859_15},
    {"iso-8859-16", Encoding::Iso8859_16},
    {"cp1254", Encoding::Windows1254}, {"csisolatin5", Encoding::Windows1254},
    {"iso-8859-9", Encoding::Windows1254}, {"iso-ir-148", Encoding::Windows1254},
    {"iso8859-9", Encoding::Windows1254}, {"iso88599", Encoding::Windows1254},
    {"iso_8859-9", Encoding::Windows1254}, {"iso_8859-9:1989", Encoding::Windows1254},
    {"l5", Encoding::Windows1254}, {"latin5", Encoding::Windows1254},
    {"windows-1254", Encoding::Windows1254}, {"x-cp1254", Encoding::Windows1254},
    {"cp1250", Encoding::Windows1250}, {"windows-1250", Encoding::Windows1250},
    {"x-cp1250", Encoding::Windows1250},
    {"cp1251", Encoding::Windows1251}, {"windows-1251", Encoding::Windows1251},
    {"x-cp1251", Encoding::Windows1251},
    {"cp1253", Encoding::Windows1253}, {"windows-1253", Encoding::Windows1253},
    {"x-cp1253", Encoding::Windows1253},
    {"cp1255", Encoding::Windows1255}, {"windows-1255", Encoding::Windows1255},
    {"x-cp1255", Encoding::Windows1255},
    {"cp1256", Encoding::Windows1256}, {"windows-1256", Encoding::Windows1256},
    {"x-cp1256", Encoding::Windows1256},
    {"cp1257", Encoding::Windows1257}, {"windows-1257", Encoding::Windows1257},
    {"x-cp1257", Encoding::Windows1257},
    {"cp1258", Encoding::Windows1258}, {"windows-1258", Encoding::Windows1258},
    {"x-cp1258", Encoding::Windows1258},
    {"dos-874", Encoding::Windows874}, {"iso-8859-11", Encoding::Windows874},
    {"iso8859-11", Encoding::Windows874}, {"iso885911", Encoding::Windows874},
    {"tis-620", Encoding::Windows874}, {"windows-874", Encoding::Windows874},
    {"cskoi8r", Encoding::Koi8R}, {"koi", Encoding::Koi8R}, {"koi8", Encoding::Koi8R},
    {"koi8-r", Encoding::Koi8R}, {"koi8_r", Encoding::Koi8R},
    {"koi8-ru", Encoding::Koi8U}, {"koi8-u", Encoding::Koi8U},
    {"866", Encoding::Ibm866}, {"cp866", Encoding::Ibm866}, {"csibm866", Encoding::Ibm866},
    {"ibm866", Encoding::Ibm866},
    {"csmacintosh", Encoding::Macintosh}, {"mac", Encoding::Macintosh},
    {"macintosh", Encoding::Macintosh}, {"x-mac-roman", Encoding::Macintosh},
    {"x-mac-cyrillic", Encoding::XMacCyrillic}, {"x-mac-ukrainian", Encoding::XMacCyrillic},
    {"chinese", Encoding::Gbk}, {"csgb2312", Encoding::Gbk}, {"csiso58gb231280", Encoding::Gbk},
    {"gb2312", Encoding::Gbk}, {"gb_2312", Encoding::Gbk}, {"gb_2312-80", Encoding::Gbk},
    {"gbk", Encoding::Gbk}, {"iso-ir-58", Encoding::Gbk}, {"x-gbk", Encoding::Gbk},
    {"gb18030", Encoding::Gb18030},
    {"big5", Encoding::Big5}, {"big5-hkscs", Encoding::Big5}, {"cn-big5", Encoding::Big5},
    {"csbig5", Encoding::Big5}, {"x-x-big5", Encoding::Big5},
    {"cseucpkdfmtjapanese", Encoding::EucJp}, {"euc-jp", Encoding::EucJp},
    {"x-euc-jp", Encoding::EucJp},
    {"csiso2022jp", Encoding::Iso2022Jp}, {"iso-2022-jp", Encoding::Iso2022Jp},
    {"csshiftjis", Encoding::ShiftJis}, {"ms932", Encoding::ShiftJis},
    {"ms_kanji", Encoding::ShiftJis}, {"shift-jis", Encoding::ShiftJis},
    {"shift_jis", Encoding::ShiftJis}, {"sjis", Encoding::ShiftJis},
    {"windows-31j", Encoding::ShiftJis}, {"x-sjis", Encoding::ShiftJis},
    {"cseuckr", Encoding::EucKr}, {"csksc56011987", Encoding::EucKr},
    {"euc-kr", Encoding::EucKr}, {"iso-ir-149", Encoding::EucKr}, {"korean", Encoding::EucKr},
    {"ks_c_5601-1987", Encoding::EucKr}, {"ks_c_5601-1989", Encoding::EucKr},
    {"ksc5601", Encoding::EucKr}, {"ksc_5601", Encoding::EucKr},
    {"windows-949", Encoding::EucKr},
    {"csunicode", Encoding::Utf16LE}, {"iso-10646-ucs-2", Encoding::Utf16LE},
    {"ucs-2", Encoding::Utf16LE}, {"unicode", Encoding::Utf16LE},
    {"unicodefeff", Encoding::Utf16LE}, {"utf-16", Encoding::Utf16LE},
    {"utf-16le", Encoding::Utf16LE},
    {"unicodefffe", Encoding::Utf16BE}, {"utf-16be", Encoding::Utf16BE},
    {"csiso2022kr", Encoding::Replacement}, {"hz-gb-2312", Encoding::Replacement},
    {"iso-2022-cn", Encoding::Replacement}, {"iso-2022-cn-ext", Encoding::Replacement},
    {"iso-2022-kr", Encoding::Replacement}, {"replacement", Encoding::Replacement},
    {"x-user-defined", Encoding::XUserDefined},
};
// clang-format on

// windows-1252 bytes 80-9F; the five unassigned ones map to themselves.
constexpr uint16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

void append_utf8(std::string& out, uint32_t cp) {
  char buf[4];
  size_t n;
  if (cp < 0x80) {
    buf[0] = static_cast<char>(cp);
    n = 1;
  } else if (cp < 0x800) {
    buf[0] = static_cast<char>(0xC0 | (cp >> 6));
    buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    buf[0] = static_cast<char>(0xE0 | (cp >> 12));
    buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 3;
  } else {
    buf[0] = static_cast<char>(0xF0 | (cp >> 18));
    buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 4;
  }
  out.append(buf, n);
}

// Length of the leading run of ASCII bytes.
size_t ascii_prefix(const unsigned char* s, size_t n) noexcept {
  size_t i = 0;
#if defined(__SSE2__)
  while (n - i >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(v));
    if (mask != 0) return i + __builtin_ctz(mask);
    i += 16;
  }
#else
  while (n - i >= 8) {
    uint64_t w;
    std::memcpy(&w, s + i, 8);
    if (w & 0x8080808080808080ull) break;
    i += 8;
  }
#endif
  while (i < n && s[i] < 0x80) ++i;
  return i;
}

DecodeStatus decode_windows1252(std::string_view raw, std::string& out) {
  out.clear();
  out.reserve(raw.size() + raw.size() / 2);
  for (const char ch : raw) {
    const auto b = static_cast<unsigned char>(ch);
    append_utf8(out, b >= 0x80 && b < 0xA0 ? kWindows1252High[b - 0x80] : b);
  }
  return DecodeStatus::Ok;
}

DecodeStatus decode_user_defined(std::string_view raw, std::string& out) {
  out.clear();
  out.reserve(raw.size() * 3);
  for (const char ch : raw) {
    const auto b = static_cast<unsigned char>(ch);
    append_utf8(out, b < 0x80 ? b : 0xF780u + (b - 0x80u));
  }
  return DecodeStatus::Ok;
}

// The byte that stands for an undecodable sequence when errors are marked:
// it never occurs in UTF-8, and it is not ASCII, so it cannot make markup.
constexpr char kErrorMark = '\xFF';

// With `mark`, undecodable units become kErrorMark and decoding goes on.
DecodeStatus decode_utf16(std::string_view raw, bool big_endian, std::string& out,
                          bool mark = false) {
  if (raw.size() % 2 != 0 && !mark) return DecodeStatus::Malformed;
  out.clear();
  out.reserve(raw.size() * 3 / 2);
  const auto* s = reinterpret_cast<const unsigned char*>(raw.data());
  const size_t units = raw.size() / 2;
  auto unit = [&](size_t k) -> uint32_t {
    const uint32_t a = s[2 * k];
    const uint32_t b = s[2 * k + 1];
    return big_endian ? (a << 8) | b : (b << 8) | a;
  };
  for (size_t k = 0; k < units; ++k) {
    const uint32_t u = unit(k);
    const bool high = u >= 0xD800 && u <= 0xDBFF;
    const uint32_t low = high && k + 1 < units ? unit(k + 1) : 0;
    if (high && low >= 0xDC00 && low <= 0xDFFF) {
      append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
      ++k;
    } else if (u >= 0xD800 && u <= 0xDFFF) {  // an unpaired surrogate
      if (!mark) return DecodeStatus::Malformed;
      out += kErrorMark;
    } else {
      append_utf8(out, u);
    }
  }
  if (raw.size() % 2 != 0) out += kErrorMark;  // an odd last byte (only when marking)
  return DecodeStatus::Ok;
}

// The iconv name closest to each WHATWG decoder (GBK decodes like gb18030);
// the others are done by hand.
constexpr std::pair<Encoding, const char*> kIconvNames[] = {
    {Encoding::Iso8859_2, "ISO-8859-2"},
    {Encoding::Iso8859_3, "ISO-8859-3"},
    {Encoding::Iso8859_4, "ISO-8859-4"},
    {Encoding::Iso8859_5, "ISO-8859-5"},
    {Encoding::Iso8859_6, "ISO-8859-6"},
    {Encoding::Iso8859_7, "ISO-8859-7"},
    {Encoding::Iso8859_8, "ISO-8859-8"},
    {Encoding::Iso8859_8I, "ISO-8859-8"},
    {Encoding::Iso8859_10, "ISO-8859-10"},
    {Encoding::Iso8859_13, "ISO-8859-13"},
    {Encoding::Iso8859_14, "ISO-8859-14"},
    {Encoding::Iso8859_15, "ISO-8859-15"},
    {Encoding::Iso8859_16, "ISO-8859-16"},
    {Encoding::Windows1250, "CP1250"},
    {Encoding::Windows1251, "CP1251"},
    {Encoding::Windows1253, "CP1253"},
    {Encoding::Windows1254, "CP1254"},
    {Encoding::Windows1255, "CP1255"},
    {Encoding::Windows1256, "CP1256"},
    {Encoding::Windows1257, "CP1257"},
    {Encoding::Windows1258, "CP1258"},
    {Encoding::Windows874, "CP874"},
    {Encoding::Koi8R, "KOI8-R"},
    {Encoding::Koi8U, "KOI8-U"},
    {Encoding::Ibm866, "IBM866"},
    {Encoding::Macintosh, "MACINTOSH"},
    {Encoding::XMacCyrillic, "MAC-CYRILLIC"},
    {Encoding::Gbk, "GB18030"},
    {Encoding::Gb18030, "GB18030"},
    {Encoding::Big5, "BIG5-HKSCS"},
    {Encoding::EucJp, "EUC-JP"},
    {Encoding::Iso2022Jp, "ISO-2022-JP"},
    {Encoding::ShiftJis, "CP932"},
    {Encoding::EucKr, "CP949"},
};

const char* iconv_name(Encoding enc) noexcept {
  for (const auto& [e, name] : kIconvNames)
    if (e == enc) return name;
  return nullptr;
}

constexpr size_t kEncodingCount = static_cast<size_t>(Encoding::XUserDefined) + 1;

// One converter per encoding per thread, opened on first use; iconv_t is not
// shareable between threads.
class IconvCache {
 public:
  IconvCache() {
    for (auto& cd : cds_) cd = reinterpret_cast<iconv_t>(-1);
  }
  ~IconvCache() {
    for (auto cd : cds_)
      if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
  }
  IconvCache(const IconvCache&) = delete;
  IconvCache& operator=(const IconvCache&) = delete;

  iconv_t get(Encoding enc) noexcept {
    iconv_t& cd = cds_[static_cast<size_t>(enc)];
    if (cd == reinterpret_cast<iconv_t>(-1)) {
      const char* name = iconv_name(enc);
      if (name == nullptr) return cd;
      cd = iconv_open("UTF-8", name);
    } else {
      iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial shift state
    }
    return cd;
  }

 private:
  iconv_t cds_[kEncodingCount];
};

// With `mark`, an undecodable sequence becomes kErrorMark and decoding goes
// on from its next byte; a sequence cut off by the end becomes one mark.
DecodeStatus decode_iconv(Encoding enc, std::string_view raw, std::string& out,
                          bool mark = false) {
  thread_local IconvCache cache;
  iconv_t cd = cache.get(enc);
  if (cd == reinterpret_cast<iconv_t>(-1)) return DecodeStatus::Malformed;
  out.resize(raw.size() * 2 + 16);
  char* in = const_cast<char*>(raw.data());
  size_t in_left = raw.size();
  size_t written = 0;
  for (;;) {
    char* dst = out.data() + written;
    size_t dst_left = out.size() - written;
    const size_t rc = iconv(cd, &in, &in_left, &dst, &dst_left);
    written = out.size() - dst_left;
    if (rc != static_cast<size_t>(-1)) {
      // Flush a pending shift sequence (stateful encodings).
      char* fdst = out.data() + written;
      size_t fleft = out.size() - written;
      if (iconv(cd, nullptr, nullptr, &fdst, &fleft) == static_cast<size_t>(-1)) {
        if (errno != E2BIG) return DecodeStatus::Malformed;
        out.resize(out.size() * 2);
        continue;
      }
      written = out.size() - fleft;
      break;
    }
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    if (!mark) return DecodeStatus::Malformed;  // EILSEQ or a truncated sequence (EINVAL)
    const size_t skip = errno == EILSEQ ? 1 : in_left;
    if (written == out.size()) out.resize(out.size() * 2);
    out[written++] = kErrorMark;
    in += skip;
    in_left -= skip;
  }
  out.resize(written);
  return DecodeStatus::Ok;
}

// Encodings whose decoders map every ASCII byte to itself.
bool ascii_is_identity(Encoding enc, std::string_view raw) noexcept {
  switch (enc) {
    case Encoding::Utf16LE:
    case Encoding::Utf16BE:
    case Encoding::Replacement:
      return false;
    case Encoding::Iso2022Jp:
      // SO, SI and ESC are not plain ASCII there.
      return raw.find_first_of("\x0E\x0F\x1B") == std::string_view::npos;
    default:
      return true;
  }
}

}  // namespace

bool encoding_for_label(std::string_view label, Encoding* out) noexcept {
  auto ascii_ws = [](char c) {
    return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
  };
  while (!label.empty() && ascii_ws(label.front())) label.remove_prefix(1);
  while (!label.empty() && ascii_ws(label.back())) label.remove_suffix(1);
  char lower[32];
  if (label.empty() || label.size() > sizeof lower) return false;
  for (size_t i = 0; i < label.size(); ++i) {
    char c = label[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                    c == '.' || c == ':';
    if (!ok) return false;
    lower[i] = c;
  }
  const std::string_view key(lower, label.size());
  for (const Label& l : kLabels) {
    if (l.name == key) {
      *out = l.enc;
      return true;
    }
  }
  return false;
}

bool is_valid_utf8(std::string_view bytes) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  for (;;) {
    i += ascii_prefix(s + i, n - i);
    if (i == n) return true;
    uint32_t cp = 0;
    const size_t len = chars::utf8_sequence(s + i, n - i, &cp);
    if (len == 0) return false;
    i += len;
  }
}

void decode_marking_errors(Encoding enc, std::string_view raw, std::string& out) {
  switch (enc) {
    case Encoding::Utf8:
      out.assign(raw);  // bytes that are not UTF-8 already read as such
      return;
    case Encoding::Replacement:
      out.clear();
      if (!raw.empty()) out += kErrorMark;  // one error for the whole input
      return;
    case Encoding::Windows1252:
      (void)decode_windows1252(raw, out);
      return;
    case Encoding::XUserDefined:
      (void)decode_user_defined(raw, out);
      return;
    case Encoding::Utf16LE:
    case Encoding::Utf16BE:
      (void)decode_utf16(raw, enc == Encoding::Utf16BE, out, true);
      return;
    default:
      if (decode_iconv(enc, raw, out, true) != DecodeStatus::Ok) {
        // No converter for it here: every byte outside ASCII is an error.
        out.clear();
        for (const char c : raw) out += static_cast<unsigned char>(c) < 0x80 ? c : kErrorMark;
      }
      return;
  }
}

DecodeStatus decode(Encoding enc, std::string_view raw, std::string& scratch,
                    std::string_view* out) {
  if (enc == Encoding::Utf8) {
    if (!is_valid_utf8(raw)) return DecodeStatus::Malformed;
    *out = raw;
    return DecodeStatus::Ok;
  }
  if (enc == Encoding::Replacement) {
    if (!raw.empty()) return DecodeStatus::Malformed;
    *out = raw;
    return DecodeStatus::Ok;
  }
  if (ascii_is_identity(enc, raw) &&
      ascii_prefix(reinterpret_cast<const unsigned char*>(raw.data()), raw.size()) == raw.size()) {
    *out = raw;
    return DecodeStatus::Ok;
  }
  DecodeStatus st;
  switch (enc) {
    case Encoding::Windows1252:
      st = decode_windows1252(raw, scratch);
      break;
    case Encoding::XUserDefined:
      st = decode_user_defined(raw, scratch);
      break;
    case Encoding::Utf16LE:
      st = decode_utf16(raw, false, scratch);
      break;
    case Encoding::Utf16BE:
      st = decode_utf16(raw, true, scratch);
      break;
    default:
      st = decode_iconv(enc, raw, scratch);
      break;
  }
  if (st == DecodeStatus::Ok) *out = scratch;
  return st;
}

}  // namespace varnex::xml
