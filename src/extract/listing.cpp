#include "extract/listing.h"

#include <cstring>
#include <ctime>
#include <unistd.h>

#include "archive/feature.h"
#include "extract/command.h"
#include "gzstream/diagnostics.h"
#include "gzstream/gzip_reader.h"
#include "lib/process.h"
#include "lib/visible.h"

namespace vardo {

// What the listing keeps from one archive to the next.
struct ListingState {
  bool heading_printed = false; // the column heading comes once per process
  uint32_t time_stamp = 0;      // the last non-zero MTIME listed: the date of one without any
};

static ListingState listing;

// Names of the gzip methods 0 to 8, five characters each, blank where not known.
static const char kMethodNames[] = "store"
                                   "compr"
                                   "pack "
                                   "lzh  "
                                   "                    "
                                   "defla";

// Writes a ratio in tenths of a percent with its sign, as in " 75.6%" or "-20.0%".
static void print_tenths(int64_t ratio, FILE *out) {
  uint64_t shown = ratio < 0 ? 0 - static_cast<uint64_t>(ratio) : static_cast<uint64_t>(ratio);
  fprintf(out, "%c%2llu.%1llu%%", ratio < 0 ? '-' : ' ',
          static_cast<unsigned long long>(shown / 10), static_cast<unsigned long long>(shown % 10));
}

void print_ratio(int32_t numerator, int32_t denominator, FILE *out) {
  // The result of signed 32-bit arithmetic: products and quotients wrap as they would in a 32-bit
  // long. The division itself is done in 64 bits, where INT32_MIN / -1 does not trap.
  int32_t ratio = 0;
  if (denominator == 0) {
    ratio = 0;
  } else if (denominator < 2147483) {
    auto product = static_cast<int32_t>(static_cast<int64_t>(numerator) * 1000);
    ratio = static_cast<int32_t>(int64_t{product} / denominator);
  } else {
    ratio = numerator / (denominator / 1000);
  }
  print_tenths(ratio, out);
}

// part * 1000 / whole, rounded down, for any 64-bit sizes: the three digits after the quotient
// are long division, each ten additions of the remainder kept below `whole` (no 128-bit division,
// which the C library's helper would add to the executable).
static uint64_t per_thousand(uint64_t part, uint64_t whole) {
  uint64_t result = part / whole, rest = part % whole;
  for (int digit = 0; digit < 3; ++digit) {
    uint64_t x = rest, d = 0;
    rest = 0;
    for (int i = 0; i < 10; ++i) {
      bool carry = rest >= whole - x;
      rest = carry ? rest - (whole - x) : rest + x;
      d += carry;
    }
    result = result * 10 + d;
  }
  return result;
}

// The sizes of a payload of 4 GiB or more, whose size the header records, in columns as wide as
// they need and a ratio computed without wrapping.
static void print_large_sizes(uint64_t compressed, uint64_t uncompressed, uint32_t header_bytes) {
  fprintf(stdout, "%9llu %9llu ", static_cast<unsigned long long>(compressed),
          static_cast<unsigned long long>(uncompressed));
  // The uncompressed size less the DEFLATE data's, in tenths of a percent of the uncompressed.
  uint64_t deflated = compressed - header_bytes;
  bool grew = deflated > uncompressed;
  auto tenths = static_cast<int64_t>(
      uncompressed
          ? per_thousand(grew ? deflated - uncompressed : uncompressed - deflated, uncompressed)
          : 0);
  print_tenths(grew ? -tenths : tenths, stdout);
}

// The header strings, escaped on a terminal: what the user reads is what will run. A listing that
// verifies a signature escapes them wherever it goes (escape_everywhere), so that no line of the
// archive's can pass for the listing's own "verified" line.
static void print_header_lines(const ArchiveHeader &h) {
  if (h.features[0])
    fprintf(stdout, "Feature: %s\n", visible(h.features, stdout));
  fprintf(stdout, "Comment: %s\n", visible(h.comment, stdout));
  fprintf(stdout, "    Run: %s\n", visible(h.run_command, stdout));
  fprintf(stdout, "Extract: %s\n",
          h.extract_command[0] ? visible(h.extract_command, stdout) : kDefaultExtractCommand);
}

// The statistics of the gzip payload whose first member's header `first`, of method `method`,
// has been read. `sized` when the header records the payload's size, `size`; the stored name is
// shown as the header lines are.
static void print_statistics(StreamState &s, int method, const GzipMember &first, bool verbose,
                             bool sized, uint64_t size) {
  if (first.mtime != 0)
    listing.time_stamp = first.mtime;
  // The whole payload is inflated and checked, so that a cut or corrupt payload ends the listing
  // with its message instead of being described as sound. It is read to its end, not sought, so
  // that an archive read from a pipe is listed too.
  s.out_fd = kNoOutput;
  PayloadEnd end = inflate_payload(s, first, verbose);
  if (sized && s.bytes_out != size)
    fatal_error(s, "invalid compressed data--length error");
  // What the payload inflated to, every member checked: the last trailer's ISIZE for archives
  // this tool builds, and the true total for members that each carry their own length.
  auto uncompressed = static_cast<int32_t>(s.bytes_out);
  // From the payload offset through the last member's trailer; bytes after it are not payload.
  auto compressed = static_cast<int32_t>(end.consumed);
  if (!listing.heading_printed) {
    listing.heading_printed = true;
    if (verbose)
      fputs("method  crc     date  time  ", stdout);
    fputs("compressed  uncompr. ratio uncompressed_name\n", stdout);
  }
  if (verbose) {
    time_t t = static_cast<int32_t>(listing.time_stamp);
    char date[13] = "";
    if (const char *text = ctime(&t))
      snprintf(date, sizeof date, "%s", text + 4);
    fprintf(stdout, "%.5s %08lx %11s ", kMethodNames + 5 * method,
            static_cast<unsigned long>(end.crc), date);
  }
  if (sized && size >> 32) {
    print_large_sizes(end.consumed, size, first.header_bytes);
  } else {
    fprintf(stdout, "%9ld %9ld ", static_cast<long>(compressed), static_cast<long>(uncompressed));
    print_ratio(static_cast<int32_t>(static_cast<uint32_t>(uncompressed) -
                                     (static_cast<uint32_t>(compressed) - first.header_bytes)),
                uncompressed, stdout);
  }
  fprintf(stdout, " %s\n", visible(first.name, stdout));
}

// What the listing says of the archive's digest and signature: checked before the listing, or as
// a pipe streamed; the signer verified with -K, else how to verify it.
static void print_integrity(const Integrity &g, const char *keys, const Signer &who,
                            const char *path) {
  if (!g.trailer) {
    fputs(" Digest: none: the archive was built without one\n", stdout);
    return;
  }
  char hex[kSha256HexSize];
  format_digest_hex(g.found.digest, hex);
  fprintf(stdout, " Digest: sha256 %s of the first %llu bytes, checked\n", hex,
          static_cast<unsigned long long>(g.found.length));
  if (keys)
    fprintf(stdout, " Signer: %s%s%s, verified\n", who.fingerprint, who.principals[0] ? " as " : "",
            visible(who.principals, stdout));
  else if (g.found.signature_size)
    fprintf(stdout, " Signer: signed, not verified: verify with vardo -K FILE -l %s\n",
            visible(path, stdout));
}

// Lists the archive open on the input of `s`.
static void list_open_archive(const ArchiveHeader &h, const ExtractOptions &o, StreamState &s,
                              Integrity &g, const char *path) {
  bool verbose = o.verbose;
  Signer who;
  // Listing trusts nothing in the archive: its digest is checked, -i or not.
  ExtractOptions checks = o;
  checks.no_digest = false;
  if (name_archive_streams(s, path) < 0 || check_before_use(h, checks, s, g, s.in_fd, &who) < 0) {
    process.exit_status = 1;
    return;
  }
  bool raw = feature_get(h, "NOCOMPR") != nullptr;
  uint64_t size = 0;
  int sized = feature_size(h, &size);
  if (sized < 0) {
    process.exit_status = 1;
    return;
  }
  // The name the payload would be unpacked under: the stored name, else standard output.
  char name[kNameSize] = "stdout";
  GzipMember first;
  first.name = name;
  int method = 0;
  if (!raw) {
    reset_stream(s);
    method = read_gzip_header(s, &first, verbose);
    if (method < 0) {
      process.exit_status = 1;
      return;
    }
  }
  print_header_lines(h);
  if (raw)
    fputs("Statistics unavailable because data was not compressed\n", stdout);
  else
    print_statistics(s, method, first, verbose, sized == 1, size);
  if (g.streamed && finish_streamed_digest(g, s) < 0) {
    process.exit_status = 1;
    return;
  }
  print_integrity(g, o.keys, who, path);
}

void list_archive(const ArchiveHeader &h, const ExtractOptions &options, StreamState &s,
                  Integrity &g, int fd, const char *path) {
  s.in_fd = fd;
  list_open_archive(h, options, s, g, path);
  // Closed at once, so that listing many archives holds one descriptor, not one per archive.
  close(fd);
  // A listing that cannot be written is a failure, not an empty success.
  if (fflush(stdout) != 0)
    write_error_exit(s); // the output name is "stdout"
}

} // namespace vardo
