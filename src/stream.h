// The record stream: one read of a record, from its first byte to its last, that checks it and
// copies what is wanted of it on the way. The boot path streams a slot's record into the archive,
// the rescue-partition boot its record, the installer a bundle's record into a slot file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "record.h"

// Where a record is read from: a file (a slot file, a bundle on /user or the stick) or a flash
// partition.
struct RecordSource {
  int fd;
  bool flash;
  uint64_t base;  // offset of the record's first byte
  // Slot files are read through a mapped window, one copy less per byte on the boot's longest
  // step. A file on the USB stick is not: a stick pulled out under a mapping kills the process,
  // where a plain read merely fails.
  bool mappable = false;
};

// What is done with the record's bytes on the way through the check.
struct StreamCopy {
  int out_fd = -1;         // where they go; -1 nowhere
  uint64_t from = 0;       // the first one that goes: 0 for the whole record, or its payload
  // The record's first 16 bytes go out as zeros (the caller writes them last); for sources that
  // are read, not mapped.
  bool hold_header = false;
  bool progress = false;  // the percentage is drawn after each 64 KiB
  bool stop_on_write_error = false;  // else a failed write shows only in what was written
  bool truncate_on_failure = false;  // a record that fails leaves out_fd empty
};

// Streams the record that the header describes (its sizes already found to fit). Memory stays
// bounded by the piece size whatever the record's size. Returns 0 when every byte was read (and
// written, with stop_on_write_error) and the check matches; otherwise the error number of the
// read or write that failed, or EIO for a short read or a checksum that does not match.
[[nodiscard]] int stream_record(const RecordSource& src, const RecordHeader& h,
                                const StreamCopy& copy);

// Writes all len bytes, retrying interrupted and partial writes; false (errno set) when a write
// fails or writes nothing.
bool write_all(int fd, const uint8_t* data, size_t len);

// Checks the record and writes its payload to out_fd (the archive). A record whose sizes are
// unusable (available: the bytes from its start to the end of its file) is treated like one whose
// check fails; either leaves out_fd empty. True when the record checks.
bool payload_checks(const RecordSource& src, const RecordHeader& h, uint64_t available, int out_fd);
