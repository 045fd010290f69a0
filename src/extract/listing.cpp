#include "extract/listing.h"

#include <cstring>
#include <ctime>
#include <unistd.h>

#include "archive/feature.h"
#include "archive/header.h"
#include "extract/command.h"
#include "gzstream/diagnostics.h"
#include "gzstream/gzip_reader.h"
#include "gzstream/stream.h"
#include "lib/visible.h"

namespace vardo {

ListingState listing;

// Names of the gzip methods 0 to 8, five characters each where known.
static const char *const kMethodNames[9] = {"store", "compr", "pack ", "lzh  ", "",
                                            "",      "",      "",      "defla"};

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
  int64_t shown = ratio;
  if (shown < 0) {
    putc('-', out);
    shown = -shown;
  } else {
    putc(' ', out);
  }
  fprintf(out, "%2ld.%1ld%%", static_cast<long>(shown / 10), static_cast<long>(shown % 10));
}

// The header strings, shown escaped on a terminal: what the user reads is what will run.
static void print_header_lines() {
  if (archive_header.features[0])
    printf("Feature: %s\n", visible(archive_header.features, stdout));
  printf("Comment: %s\n", visible(archive_header.comment, stdout));
  printf("    Run: %s\n", visible(archive_header.run_command, stdout));
  printf("Extract: %s\n", archive_header.extract_command[0]
                              ? visible(archive_header.extract_command, stdout)
                              : kDefaultExtractCommand);
}

static void print_statistics() {
  // The statistics describe the first member's header, whatever the later members hold.
  uint32_t header_bytes = stream.header_bytes;
  uint32_t time_stamp = stream.time_stamp;
  // The whole payload is inflated and checked, so that a cut or corrupt payload ends the listing
  // with its message instead of being described as sound.
  inflate_payload(stream.in_fd, kNoOutput);
  stream.time_stamp = time_stamp;
  // What the payload inflated to, every member checked: the last trailer's ISIZE for archives
  // this tool builds, and the true total for members that each carry their own length.
  auto uncompressed = static_cast<int32_t>(stream.bytes_out);
  if (!listing.heading_printed) {
    listing.heading_printed = true;
    if (process.verbose)
      printf("method  crc     date  time  ");
    printf("compressed  uncompr. ratio uncompressed_name\n");
  }
  // The trailer of the last member.
  uint32_t crc, size;
  off_t at = read_final_trailer(stream.in_fd, &crc, &size);
  auto compressed = static_cast<int32_t>(at - archive_header.payload_offset + 8);
  stream.bytes_in = static_cast<uint32_t>(compressed);
  if (process.verbose) {
    time_t t = static_cast<int32_t>(stream.time_stamp);
    char date[13] = "";
    if (const char *text = ctime(&t))
      snprintf(date, sizeof date, "%s", text + 4);
    printf("%5s %08lx %11s ", kMethodNames[stream.method], static_cast<unsigned long>(crc), date);
  }
  printf("%9ld %9ld ", static_cast<long>(compressed), static_cast<long>(uncompressed));
  print_ratio(static_cast<int32_t>(static_cast<uint32_t>(uncompressed) -
                                   (static_cast<uint32_t>(compressed) - header_bytes)),
              uncompressed, stdout);
  printf(" %s\n", visible(stream.out_name, stdout));
}

// Lists the archive open on `fd`.
static void list_open_archive(int fd, const char *path) {
  if (name_archive_streams(path) < 0) {
    process.exit_status = 1;
    return;
  }
  bool raw = feature_get("NOCOMPR") != nullptr;
  if (!raw) {
    reset_stream();
    stream.in_fd = fd;
    if (read_gzip_header() < 0) {
      process.exit_status = 1;
      return;
    }
  }
  print_header_lines();
  if (raw) {
    printf("Statistics unavailable because data was not compressed\n");
    return;
  }
  print_statistics();
}

void list_archive(int fd, const char *path) {
  list_open_archive(fd, path);
  // Closed at once, so that listing many archives holds one descriptor, not one per archive.
  close(fd);
  // A listing that cannot be written is a failure, not an empty success.
  if (fflush(stdout) != 0) {
    strcpy(stream.out_name, "stdout"); // the stored name may stand there
    write_error_exit();
  }
}

} // namespace vardo
