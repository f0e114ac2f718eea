// The verified stamp of binary state files.
#pragma once

#include <cstdio>
#include <string>

namespace karvo {

// Closes a binary state file after writing, with a verified stamp: the sequence number is
// advanced modulo 2^31 - 1 (and written back through `sequence`), the 8-byte stamp
// (count, sequence; little-endian int32) is written at offset 0, the file is closed,
// reopened "r+b" (at most `openAttempts` tries; the opens used are added to
// `binaryReopenCount`) and the stamp read back, rewritten until it matches (50 attempts in
// all). `file` is closed in every case. Answers true when the stamp was verified.
bool closeWithVerifiedStamp(std::FILE* file, const std::string& fileName, int count,
                            int& sequence, int openAttempts);
// Reads the stamp of a binary state file, reading again until two reads agree (at most
// 50 attempts). Answers false with the message on standard error when that never happens.
bool readStampVerified(const std::string& fileName, int& count, int& sequence,
                       int openAttempts);
extern long binaryReopenCount;

}  // namespace karvo
