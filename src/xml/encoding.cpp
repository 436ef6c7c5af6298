// Encoding labels and decoding of other encodings to UTF-8
// (single-byte encodings by their tables, x-user-defined and UTF-16 by hand, the rest
// through iconv).
#include "xml/encoding.hpp"

#include <iconv.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "xml/single_byte.hpp"

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

// The byte that stands for an undecodable sequence when errors are marked:
// it never occurs in UTF-8, and it is not ASCII, so it cannot make markup.
constexpr char kErrorMark = '\xFF';

// Every decoder runs twice over its input, first into a Counter, then into a Writer over a
// string of exactly the length counted: the output costs its own size and nothing more.
struct Counter {
  size_t size = 0;
  void bytes(const char*, size_t n) noexcept { size += n; }
  void mark() noexcept { ++size; }
  void code_point(uint32_t cp) noexcept { size += utf8_length(cp); }
};

struct Writer {
  char* at;
  void bytes(const char* p, size_t n) noexcept {
    std::memcpy(at, p, n);
    at += n;
  }
  void mark() noexcept { *at++ = kErrorMark; }
  void code_point(uint32_t cp) noexcept { at += encode_utf8(cp, at); }
};

// Runs `decode(out)` (false: malformed input) into a Counter, then into `out` sized for it.
template <class Decode>
DecodeStatus decode_twice(std::string& out, Decode&& decode) {
  Counter counter;
  if (!decode(counter)) return DecodeStatus::Malformed;
  out.clear();
  out.shrink_to_fit();  // a fresh allocation of exactly the size, not a grown old one
  out.resize(counter.size);
  Writer writer{out.data()};
  (void)decode(writer);
  return DecodeStatus::Ok;
}

// For a decoder too slow to run twice (iconv) over a large input: the output is kept in pages
// mapped for it until its size is known, then moved into `out` a page at a time, each page
// given back to the system once copied. At any moment the output costs its own size and one
// page (pages from the allocator could stay with the process once freed).
class PagedOutput {
 public:
  PagedOutput() = default;
  PagedOutput(const PagedOutput&) = delete;
  PagedOutput& operator=(const PagedOutput&) = delete;
  ~PagedOutput() {
    for (char* page : pages_) munmap(page, kPage);
  }

  void bytes(const char* p, size_t n) {
    while (n > 0) {
      if (used_ == kPage) add_page();
      const size_t k = std::min(n, kPage - used_);
      std::memcpy(pages_.back() + used_, p, k);
      used_ += k;
      size_ += k;
      p += k;
      n -= k;
    }
  }
  void mark() { bytes(&kErrorMark, 1); }

  void move_to(std::string& out) {
    out.clear();
    out.shrink_to_fit();
    out.reserve(size_);
    while (!pages_.empty()) {
      out.append(pages_.front(), pages_.size() > 1 ? kPage : used_);
      munmap(pages_.front(), kPage);
      pages_.erase(pages_.begin());
    }
  }

 private:
  static constexpr size_t kPage = size_t{4} << 20;

  void add_page() {
    pages_.reserve(pages_.size() + 1);  // before the map, so that a throw leaves none behind
    void* page = mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) throw std::bad_alloc();
    pages_.push_back(static_cast<char*>(page));
    used_ = 0;
  }

  std::vector<char*> pages_;
  size_t used_ = kPage;
  size_t size_ = 0;
};

// Runs `decode(out)` (false: malformed input) once into pages, then moves the output into
// `out`.
template <class Decode>
DecodeStatus decode_paged(std::string& out, Decode&& decode) {
  PagedOutput paged;
  if (!decode(paged)) return DecodeStatus::Malformed;
  paged.move_to(out);
  return DecodeStatus::Ok;
}

// A run of ASCII bytes goes out as it is, each other byte through `high`.
template <class Out, class High>
bool decode_bytes(std::string_view raw, Out& out, High&& high) {
  const auto* s = reinterpret_cast<const unsigned char*>(raw.data());
  const size_t n = raw.size();
  for (size_t i = 0; i < n;) {
    const size_t run = ascii_prefix(s + i, n - i);
    out.bytes(raw.data() + i, run);
    i += run;
    if (i < n && !high(s[i++], out)) return false;
  }
  return true;
}

// A single-byte encoding by its table; with `mark`, a byte with no code point becomes
// kErrorMark.
template <class Out>
bool decode_single_byte(std::string_view raw, const uint16_t* table, bool mark, Out& out) {
  return decode_bytes(raw, out, [&](unsigned char b, Out& o) {
    const uint32_t cp = table[b - 0x80];
    if (cp != 0) {
      o.code_point(cp);
    } else if (mark) {
      o.mark();
    } else {
      return false;
    }
    return true;
  });
}

template <class Out>
bool decode_user_defined(std::string_view raw, Out& out) {
  return decode_bytes(raw, out, [](unsigned char b, Out& o) {
    o.code_point(0xF780u + (b - 0x80u));
    return true;
  });
}

// With `mark`, undecodable units become kErrorMark and decoding goes on.
template <class Out>
bool decode_utf16(std::string_view raw, bool big_endian, bool mark, Out& out) {
  if (raw.size() % 2 != 0 && !mark) return false;
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
      out.code_point(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
      ++k;
    } else if (u >= 0xD800 && u <= 0xDFFF) {  // an unpaired surrogate
      if (!mark) return false;
      out.mark();
    } else {
      out.code_point(u);
    }
  }
  if (raw.size() % 2 != 0) out.mark();  // an odd last byte (only when marking)
  return true;
}

// The iconv name closest to each WHATWG decoder that has no table here (GBK decodes like
// gb18030).
constexpr std::pair<Encoding, const char*> kIconvNames[] = {
    {Encoding::Gbk, "GB18030"},           {Encoding::Gb18030, "GB18030"},
    {Encoding::Big5, "BIG5-HKSCS"},       {Encoding::EucJp, "EUC-JP"},
    {Encoding::Iso2022Jp, "ISO-2022-JP"}, {Encoding::ShiftJis, "CP932"},
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
    }
    return cd;
  }

 private:
  iconv_t cds_[kEncodingCount];
};

// Inputs at least this long are decoded by iconv once, into pages, rather than twice.
constexpr size_t kPagedDecodeBytes = size_t{1} << 20;
// ASCII runs at least this long are copied past iconv.
constexpr size_t kAsciiRun = 32;
// No byte of the encodings iconv decodes here gives more than three bytes of UTF-8.
constexpr size_t kMaxGrowth = 4;

// Where the stretch from `from` that iconv must read ends: at the next run of kAsciiRun
// ASCII bytes, at an ASCII run that ends the input, or at the end.
size_t next_ascii_run(const unsigned char* s, size_t from, size_t n) noexcept {
  size_t i = from;
  while (i < n) {
    while (i < n && s[i] >= 0x80) ++i;
    const size_t run = ascii_prefix(s + i, n - i);
    if (run >= kAsciiRun || i + run == n) return i;
    i += run;
  }
  return n;
}

// `raw` through iconv from its initial state, the output a block at a time. With
// `ascii_runs` (an encoding whose lead bytes are never ASCII and that keeps no state between
// characters), long ASCII runs go out as they are. With `mark`, an undecodable sequence
// becomes kErrorMark and decoding goes on from its next byte, and a sequence cut off by the
// end becomes one mark.
template <class Out>
bool decode_iconv(iconv_t cd, std::string_view raw, bool mark, bool ascii_runs, Out& out) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // the initial shift state
  const auto* s = reinterpret_cast<const unsigned char*>(raw.data());
  const size_t n = raw.size();
  constexpr size_t kBlock = 256 * 1024;
  const std::unique_ptr<char[]> block(new char[kBlock]);
  size_t at = 0;
  // Calls iconv and hands over what it wrote; 0, or the errno it stopped with.
  auto step = [&](char** in, size_t* in_left) {
    char* dst = block.get();
    size_t dst_left = kBlock;
    const size_t rc = iconv(cd, in, in_left, &dst, &dst_left);
    const int error = rc == static_cast<size_t>(-1) ? errno : 0;
    out.bytes(block.get(), kBlock - dst_left);
    return error;
  };
  // Bytes [at, stop), and on past `stop` where a character goes on beyond it. The input goes
  // in pieces whose output always fits the block: iconv is slow to stop at a full block.
  auto convert = [&](size_t stop) {
    while (at < stop) {
      const size_t piece = std::min(stop - at, kBlock / kMaxGrowth);
      char* in = const_cast<char*>(raw.data() + at);
      size_t in_left = piece;
      const int error = step(&in, &in_left);
      const bool whole = at + piece == stop;
      at = static_cast<size_t>(in - raw.data());
      if (error == 0 || error == E2BIG || (error == EINVAL && !whole)) continue;
      if (error == EINVAL && stop < n) {
        ++stop;
      } else if (!mark) {
        return false;  // EILSEQ or a truncated sequence (EINVAL)
      } else {
        out.mark();
        at += error == EILSEQ ? 1 : stop - at;
      }
    }
    return true;
  };
  while (at < n) {
    if (ascii_runs) {
      const size_t run = ascii_prefix(s + at, n - at);
      out.bytes(raw.data() + at, run);
      at += run;
      if (at == n) break;
    }
    if (!convert(ascii_runs ? next_ascii_run(s, at, n) : n)) return false;
  }
  // A pending shift sequence (stateful encodings).
  for (;;) {
    const int error = step(nullptr, nullptr);
    if (error != E2BIG) return error == 0;
  }
}

// A document in `enc` to UTF-8 in `out`; with `mark`, never malformed. Nothing is done for
// UTF-8 and the replacement encoding, whose callers handle them.
DecodeStatus decode_to(Encoding enc, std::string_view raw, bool mark, std::string& out) {
  if (const uint16_t* table = single_byte_table(enc)) {
    return decode_twice(out, [&](auto& o) { return decode_single_byte(raw, table, mark, o); });
  }
  switch (enc) {
    case Encoding::XUserDefined:
      return decode_twice(out, [&](auto& o) { return decode_user_defined(raw, o); });
    case Encoding::Utf16LE:
    case Encoding::Utf16BE: {
      const bool big_endian = enc == Encoding::Utf16BE;
      return decode_twice(out, [&](auto& o) { return decode_utf16(raw, big_endian, mark, o); });
    }
    default: break;
  }
  thread_local IconvCache cache;
  iconv_t cd = cache.get(enc);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    if (!mark) return DecodeStatus::Malformed;
    // No converter for it here: every byte outside ASCII is an error.
    return decode_twice(out, [&](auto& o) {
      return decode_bytes(raw, o, [](unsigned char, auto& oo) {
        oo.mark();
        return true;
      });
    });
  }
  // ISO-2022-JP changes state with escape sequences written in ASCII.
  const bool ascii_runs = enc != Encoding::Iso2022Jp;
  auto run_iconv = [&](auto& o) { return decode_iconv(cd, raw, mark, ascii_runs, o); };
  // Twice over a small input costs less than mapping pages for it.
  return raw.size() < kPagedDecodeBytes ? decode_twice(out, run_iconv)
                                        : decode_paged(out, run_iconv);
}

// Encodings whose decoders map every ASCII byte to itself.
bool ascii_is_identity(Encoding enc, std::string_view raw) noexcept {
  switch (enc) {
    case Encoding::Utf16LE:
    case Encoding::Utf16BE:
    case Encoding::Replacement: return false;
    case Encoding::Iso2022Jp:
      // SO, SI and ESC are not plain ASCII there.
      return raw.find_first_of("\x0E\x0F\x1B") == std::string_view::npos;
    default: return true;
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

std::optional<Utf8Error> check_utf8(std::string_view bytes) noexcept { return utf8::check(bytes); }

void decode_marking_errors(Encoding enc, std::string_view raw, std::string& out) {
  switch (enc) {
    case Encoding::Utf8:
      out.assign(raw);  // bytes that are not UTF-8 already read as such
      return;
    case Encoding::Replacement:
      out.clear();
      if (!raw.empty()) out += kErrorMark;  // one error for the whole input
      return;
    default: (void)decode_to(enc, raw, /*mark=*/true, out);
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
  const DecodeStatus st = decode_to(enc, raw, /*mark=*/false, scratch);
  if (st == DecodeStatus::Ok) *out = scratch;
  return st;
}

}  // namespace varnex::xml
