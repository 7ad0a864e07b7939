// Command exchange: one command line out, the reply up to the module's prompt back, split into
// upper-case fields.
#pragma once

#include <cstddef>
#include <cstdint>

// Field table of a reply: 16 slots of 32 bytes, each an upper-case, zero-terminated field of at
// most 31 characters. Field 0 is the echo of the command.
constexpr int REPLY_FIELD_COUNT = 16;
constexpr int REPLY_FIELD_SIZE = 32;
using ReplyField = char[REPLY_FIELD_SIZE];

// Size of the reply text buffer of SendCommand: 1023 characters and the closing zero.
constexpr std::size_t REPLY_TEXT_SIZE = 1024;

// Writes the command text and the terminator, gathers the reply up to the prompt ">" (or until
// 200 idle polls, printing "T") and splits it into fields. Returns the field count: 0 (nothing
// received, or only CR and ">"), 1 (one field, such as the echo alone) or 2 to 16. Only the
// first count slots of fields are written. With the link closed returns 0 and sends nothing.
int SendCommand(const char* command, ReplyField fields[REPLY_FIELD_COUNT]);

// SendCommand for a caller that knows how many fields the answer has: the transcript then
// marks any other count as a wrong field count. The result is SendCommand's.
int SendCommandExpecting(const char* command, ReplyField fields[REPLY_FIELD_COUNT],
                         int expectedFields);

// Every reader of the link ends a reply that has no prompt after at most READ_LIMIT_MS from
// its start, even while bytes keep coming (the time that the 200 idle event waits of a silent
// module take), or once READ_LIMIT_BYTES beyond what the caller's buffer holds have arrived,
// whichever comes first, with the usual "T".
constexpr int READ_LIMIT_MS = 20400;
constexpr std::size_t READ_LIMIT_BYTES = 64 * 1024;

// Cancel: asks the reader that is running (on any thread), and every reader started after it,
// to end at its next cycle as on its idle limit ("T"). The host clears the request before its
// next exchange. The cycle is at most one event wait (100 ms) long.
void LinkRequestCancel();
void LinkClearCancel();
bool LinkCancelRequested();

// Late replies. Once a reply has ended without its prompt (a limit or a cancel), the answer to
// that command may still arrive. Until a reply with its prompt has been read again, a reply
// whose first field is not the echo of the command just written (compared without regard to
// case) is taken for that late answer: it is dropped (a "stale" transcript line) and the reader
// waits on for the right one. True while such a late answer is expected.
bool LinkExpectingLateReply();

// Writes the command text, then the terminator byte, as two writes. Returns 0.
int WriteCommandLine(const char* command);

// Gathers a reply into buffer (size bytes, at least 1) until a batch of received bytes ends
// with ">" or the line stayed idle for 200 polls ("T" is then printed). Each poll waits up to
// 100 ms for a port event and sleeps 2 ms when nothing is queued. Bytes that do not fit are
// read and dropped, so the first size-1 bytes of the reply survive. The text is zero-terminated.
// Returns the number of bytes stored (0 with the link closed).
std::size_t ReadReply(char* buffer, std::size_t size);

// Splits a reply in place (upper-casing it) into fields: commas and LF end a field, CR and ">"
// are skipped, the last field counts only if not empty. Fields beyond 16 and characters beyond
// 31 of a field are dropped. Returns the field count, or -1 when the only field equals the
// command text exactly (nothing is copied then).
int SplitReply(const char* command, char* reply, ReplyField fields[REPLY_FIELD_COUNT]);

// Like ReadReply, but each cycle only polls the queued-input count every 2 ms, with no wait for
// a port event.
std::size_t ReadReplyPoll(char* buffer, std::size_t size);

// End tests of ReadReplyUntil.
constexpr int READ_UNTIL_PROMPT = 0;     // the byte is ">"
constexpr int READ_UNTIL_55AA = 1;       // the last two bytes are 0x55, 0xAA
constexpr int READ_UNTIL_TERMINATOR = 2; // the byte equals the ComLink terminator
// Polling reader with a selectable end test, tested on every byte received; the batch in which
// the end is seen is read to its end. 200 idle polls of 2 ms end it too, with "T".
std::size_t ReadReplyUntil(char* buffer, std::size_t size, int mode);

// Polling reader that ends after the first batch of queued bytes, or after 200 idle polls of
// 2 ms with "T".
std::size_t ReadAvailable(char* buffer, std::size_t size);

// Reads one byte with the port's ReadByte (0xFF with the link closed).
std::uint8_t ReadOneByte();

// Reads and discards every byte the driver reports queued. Returns 0.
int FlushInput();

// The driver's queued-input count (0 with the link closed).
std::uint32_t QueuedCount();

// Reads the queued bytes (at most 128) and prints "l%d" with their number, then "na" for each
// ">" among them; "l0" when nothing is queued. Returns 1 if a ">" was seen, else 0.
int DumpQueued();

// Writes count bytes, then the terminator unless noTerminator is non-zero. Returns 0.
int WriteRaw(int noTerminator, const void* data, std::size_t count);

// Writes the low 8 bits of value as one byte. Returns 0.
int WriteOneByte(int value);

// Waits for the prompt like ReadReply but discards the bytes, testing each for ">", and gives
// up after 50 idle cycles. Returns 2 if the idle cycles counted at the end exceed maxIdle,
// else 0.
int WaitPrompt(int maxIdle);

// Waits for port events (up to 200 waits of 100 ms) until the transmit queue is empty. Prints
// "z" after the 32nd wait, "t" if all 200 were used, "e" when the queue ran empty. Returns 1 at
// once if the event wait is refused as an invalid parameter, else 0.
int WaitTxEmpty();
