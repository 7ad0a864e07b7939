// Board monitor commands: the module's maintenance commands, one operation per command.
//
// Version query, single reads and writes, hex dumps, loading data in 256-byte blocks of hex
// text, a fill, a compare and the three flash commands (FE, FW, FL). Each operation writes its
// command line with WriteCommandLine (text, then the terminator), blocks until the reply is in
// (or the reader gave up after 200 idle polls, printing "T") and returns a plain integer.
// Numbers in command texts are upper-case hexadecimal: "%X" without leading zeros, "%.4X" at
// least four digits, "%.2X" two digits of one byte; every argument is 32-bit and printed
// unsigned.
//
// With the link closed every operation sends nothing, waits for nothing and returns at once
// with the result it gives when nothing was received.
//
// Progress and diagnostic characters go to the diagnostic sink (diag.h): "." after each MF1
// block, in MonitorFW and on a repeated MonitorMD1Words length mismatch; "X" for an echo-only
// answer in MonitorMC and MonitorMF2; "0", "1" or "P" from MonitorMF2.
#pragma once

#include <cstddef>
#include <cstdint>

// Data bytes of one MF1 block (sent as 512 hexadecimal characters).
constexpr int MONITOR_BLOCK_SIZE = 256;

// Largest byte count the hex dump operations (MD1, SA/DA) accept in one command. A dump of n
// bytes needs a reply buffer of 2n+65 bytes; larger counts are refused (nothing is sent, the
// result is 0) instead of asking for buffers of up to 8 GiB. Callers dump more in pieces.
constexpr std::uint32_t MONITOR_DUMP_MAX = 0x100000;

// Sends "V" and, when the reply has exactly the echo and one field of at most 32 characters,
// fills ComLink.version from that field: the field reads "<name> V<major>.<minor>"; name is the
// text before the three characters that precede the first "." (empty if there are none), major
// the decimal digit just before the "." (0 if it is not a digit), minor the decimal number after
// the "." (at most its first 15 characters are read; atoi rules, so "2RC" gives 2). Without a
// "." the whole field stands in front of it and minor is 0.
// Returns 0 when ComLink.version was filled; -1 otherwise (other field count, field 1 longer
// than 32 characters, field 1 empty or starting with "."), leaving ComLink.version unchanged.
int MonitorV();

// Sends "MR <address %.4X>" and returns the 32-bit value read from up to 10 characters of reply
// field 1 from position 18 on, as hexadecimal (reading stops at the first character that is not
// a hexadecimal digit). When field 1 is missing or shorter than 19 characters, or has no
// hexadecimal digit at position 18, returns 0; when the digits make a value wider than 32 bits,
// returns 0xFFFFFFFF. *ok (if given) is set to true only when a value of at most 32 bits was
// read, so callers can tell a read 0 from a failed read.
std::uint32_t MonitorMR(std::uint32_t address, bool* ok = nullptr);

// Sends "MW <address %X> <value %X>" (writes one 32-bit word). Returns 1 when the reply was the
// echo alone (the module's acknowledgement), else 0.
int MonitorMW(std::uint32_t address, std::uint32_t value);

// Sends "MC <a %X> <b %X>" (the sum of the big-endian words of b bytes from address a), waits
// pauseMs milliseconds (negative means 0), reads and splits the reply. Returns 1 after printing
// "X" when the reply was the echo alone; -1 when field 1 is an error answer (it starts with
// "ERR"), when nothing but an echo of something else arrived (fewer than 2 fields) or when field
// 1 does not start with a hexadecimal digit; otherwise reads up to 10 hexadecimal characters of
// field 1 and returns 0 when that value equals expected, 2 when it does not (a value wider than
// 32 bits never equals).
int MonitorMC(std::uint32_t a, std::uint32_t b, std::uint32_t expected, int pauseMs);

// Sends "MF2 <a %X> <b %X> <c %X>" (fills b bytes from a with the word c). Returns 1 after
// printing "X" when the reply was the echo alone; otherwise prints "0" when c is 0, "1" when c
// is 0xFFFFFFFF (-1), "P" for any other c, and returns 0. With the link closed returns 0 and
// prints nothing.
int MonitorMF2(std::uint32_t a, std::uint32_t b, std::uint32_t c);

// Hex dump of bytes: n = count with its low 4 bits cleared (the module dumps whole lines of 16);
// sends "MD1 <address %X> <n %X>" and reads the reply into a buffer of 2n+65 bytes (a longer
// reply keeps its first 2n+64 characters). The hexadecimal text after the first LF (the end of
// the echo line) is read two characters a byte while the position is below the reply length
// minus 4, storing at most n bytes into out, which must hold n bytes. Storing stops at the first
// pair that is not two hexadecimal digits (an error answer, line noise). Returns the number of
// bytes stored; 0 when n is 0 or above MONITOR_DUMP_MAX (nothing sent), or out is null.
int MonitorMD1Bytes(std::uint32_t address, std::uint32_t count, std::uint8_t* out);

// Hex dump of 32-bit words: as MonitorMD1Bytes, but the text is read eight characters a word,
// the first character most significant, storing at most n/4 words into out, which must hold
// n/4 words. The reply is expected to be 2 * count + 19 bytes long (count as passed in); when
// it is not, the command is sent and read once more, and if that length differs too, "." is
// printed and the second reply is used all the same. Returns the number of words stored.
int MonitorMD1Words(std::uint32_t address, std::uint32_t count, std::uint32_t* out);

// Dump of the module's first 16 bytes with "SA" then "DA": n = count with its low 4 bits
// cleared; sends both command lines, then reads the reply into a buffer of 2n+65 bytes until
// both prompts are in (the module may answer "SA" before "DA" arrives); from character 9 on,
// while the position is below the reply length minus 8, reads two characters a byte, storing at
// most n bytes into out (which must hold n bytes) and stopping at the first malformed pair.
// The address argument is ignored. Returns the number of bytes stored (0 as MonitorMD1Bytes).
int MonitorSADA(std::uint32_t ignored, std::uint32_t count, std::uint8_t* out);

// Loads length bytes of data into module memory from address on, in blocks of 256 bytes: for
// block k sends "MF1 <address + 256k %X>", then its 256 bytes as 512 hexadecimal characters,
// one write each and no terminator ("00" for positions at or past length), prints "." and reads
// the reply (not examined). A length of 0 or less, or null data, sends nothing and returns 0.
// Returns the byte count of the last block's reply (0 when nothing came back).
int MonitorMF1Bytes(std::uint32_t address, const std::uint8_t* data, std::int32_t length);

// As MonitorMF1Bytes, each block sent as 64 groups of 4 bytes; when reversal is exactly 1 the
// bytes of each group go last first (3, 2, 1, 0), so the module's memory holds every group
// reversed; any other value sends them in order. Positions at or past length are sent as "00",
// tested on the byte actually sent. Returns the byte count of the last block's reply.
int MonitorMF1Words(std::uint32_t address, const std::uint8_t* data, std::int32_t length,
                    int reversal);

// Sends "MF1 <address %X>" and the 256 bytes of data as 64 words of "%.2X%.2X%.2X%.2X" (one
// write a character), prints "." and reads the reply. data must hold 256 bytes; null data sends
// nothing. Returns 0.
int MonitorMF1Block(std::uint32_t address, const std::uint8_t* data);

// As MonitorMF1Block, with the bytes of each word in reverse order when reversal is non-zero.
// Returns 0.
int MonitorMF1BlockSwap(std::uint32_t address, const std::uint8_t* data, int reversal);

// Sends "FE <a %X>" (erases the flash sector holding a), waits 1000 ms and reads the reply.
// Returns 0.
int MonitorFE(std::uint32_t a);

// Sends "FL <a %X> <b %X> <c %X>" and reads the reply with the polling reader. Returns 1 when
// nothing was received, else 0.
int MonitorFL(std::uint32_t a, std::uint32_t b, std::uint32_t c);

// Flash write: c is cut to a multiple of 256 (low 8 bits cleared); below 256 nothing is sent
// and 1 is returned. Otherwise sends "FW <a %X> <b %X> <c %X>", waits 2000 ms, prints "." and
// reads the reply. Returns 1 when nothing was received, else 0.
int MonitorFW(std::uint32_t a, std::uint32_t b, std::uint32_t c);

// Resets the module's monitor: sends "R" and its terminator, then the terminator twice more.
// Reads nothing; the module's banner and prompts stay queued for the next reader. Returns 0.
int MonitorR();

// Reply parsing without I/O. The operations above write their command, read the reply and hand
// it to these; they are public so that any reply bytes can be checked against them directly.
// A reply text is what ReadReply stored: zero-terminated, at most the buffer's size - 1 bytes
// (it may hold zero bytes of its own, which end it for the split). The split upper-cases it in
// place.

struct ModuleVersion; // comlink.h

// The "V" reply: when the split gives the echo and one field of at most 32 characters (counted
// in full, before the table's 31-character cut), fills *version by the rules of MonitorV and
// returns 0; otherwise returns -1 and leaves *version unchanged.
int MonitorParseVersion(char* reply, ModuleVersion* version);

// The "MR" reply to command (the text as sent): the value MonitorMR returns, with *ok (if given)
// as MonitorMR sets it. A reply without a field 1 gives 0.
std::uint32_t MonitorParseMR(const char* command, char* reply, bool* ok);

// The "MC" reply to command (the text as sent) compared with expected: 1 when it was the echo
// alone, -1 for an error answer, no field 1 or no number in it, 0 match, 2 mismatch, as
// MonitorMC returns them. Prints nothing (MonitorMC prints the "X").
int MonitorParseMC(const char* command, char* reply, std::uint32_t expected);

// The data of an "MD1" byte dump: text is the reply of length bytes, with text[length] == 0.
// Reads hexadecimal pairs from just after the first LF while the position is below length - 4,
// stopping at the first malformed pair, storing at most capacity bytes. Returns the count.
int MonitorParseDumpBytes(const char* text, std::size_t length, std::uint8_t* out,
                          std::size_t capacity);

// The same for an "MD1" word dump: eight characters a word, the first most significant, at most
// capacity words. Returns the count of words stored.
int MonitorParseDumpWords(const char* text, std::size_t length, std::uint32_t* out,
                          std::size_t capacity);

// The data of the "SA"/"DA" replies read together (length bytes, text[length] == 0): pairs from
// character 9 on while the position is below length - 8, at most capacity bytes, stopping at the
// first malformed pair. Returns the count of bytes stored.
int MonitorParseSADA(const char* text, std::size_t length, std::uint8_t* out, std::size_t capacity);

// 1 for '0' to '9', 'A' to 'F' and 'a' to 'f', else 0.
int IsHexDigit(int c);

// The value 0 to 15 of a hexadecimal digit ('0' to '9', 'A' to 'F', 'a' to 'f'), else -1.
int MonitorHexValue(int c);

// sum plus every complete group of 4 bytes of bytes[0..count) read as a big-endian 32-bit word,
// modulo 2^32; a trailing incomplete group is not added. Null bytes adds nothing.
std::uint32_t SumWordsBE(std::uint32_t sum, const std::uint8_t* bytes, std::size_t count);

// Writes count bytes to out, each the byte of in with its bit order reversed (bit 0 becomes
// bit 7). in and out may be the same buffer. Returns count (0 when either is null).
std::size_t MirrorBits(const std::uint8_t* in, std::uint8_t* out, std::size_t count);

// Prints "Legacy Function\n" and returns 0.
int LegacyStub();
