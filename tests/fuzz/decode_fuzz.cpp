// SPDX-License-Identifier: ISC
// sigtrace's decoding, fed any bytes as the kernel side's records, 120
// bytes each, in the order the ring buffer would pass them on; then the
// end of the run, as sigtrace learns it once the program has ended, and
// the summary.  The text, the JSON and the picture tell it all at once.
//
// The bytes after the last whole record, fewer than a record's, are that
// end, as struct End lays them out (zeros past the input's end): the
// kernel side's counts of one process and signal and the end of one
// process (none, where the process is 0), the program's wait status and
// the records lost that no record marks.  With no such bytes the program
// ended with status 0.
//
// Where sigtrace --from takes the JSON that the records made, it must
// tell the same again, byte for byte: the JSON, the text and the picture,
// each a function of the events, which the model names alike whether it
// decodes them or reads them back.
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "account.h"
#include "told.h"

namespace
{

struct End {
	__s32 status;	 // the program's wait status
	__s32 count_pid; // the kernel side's counts ...
	__s32 count_sig; // ... of this process and signal
	__s32 end_pid;	 // and how this process ended
	__s32 end_code;
	__u32 padding;
	__u64 lost; // besides those the records mark
	__u64 end_pending;
	__u64 end_blocked;
	__u64 counts[sigtrace::TALLY_COUNTS]; // as Tally orders them
};
static_assert(sizeof(End) <= sizeof(event), "the end is read from a tail");

// A name whose bytes are whole UTF-8 characters, which the JSON carries
// as they are; any other byte is written as U+FFFD, and read back as that.
bool
whole_utf8(const char (&comm)[TASK_COMM_LEN])
{
	std::string name(comm, strnlen(comm, sizeof(comm)));
	for (size_t at = 0, length; at < name.size(); at += length)
		if (!(length = sigtrace::utf8_length(name, at)))
			return false;
	return true;
}

// What the JSON cannot carry, as no kernel makes it: a new process whose
// first task is not the process, a new thread of another process (the
// JSON names only the new task); a signal sent by a process with no id,
// which only the idle task has (the JSON names a sender by its id).
bool
carried(const event &record)
{
	if (record.kind == EVENT_FORK)
		return record.other_process == ((record.detail & DETAIL_THREAD)
						    ? record.process
						    : record.other);
	if (record.kind == EVENT_GENERATE && record.info == INFO_GIVEN &&
	    record.code <= 0 && !record.other_process)
		return false;
	return whole_utf8(record.comm);
}

// Counts, as the kernel side keeps them: never past the most.
std::uint64_t
sum(std::uint64_t count, std::uint64_t more)
{
	return count + more < count ? ~std::uint64_t{0} : count + more;
}

// The records, and the end, told as sigtrace tells a run: from just
// before the first record, the program's first process being the first
// record's.
fuzz::Told
decode(const std::vector<event> &records, const End *end)
{
	fuzz::Tellers tellers;
	pid_t program = records.empty() ? 1 : records.front().process;
	tellers.writer().start("program", program);
	sigtrace::Account account(records.empty() ? 0 : records.front().time);
	auto tell = [&](const std::vector<sigtrace::Event> &events) {
		for (const sigtrace::Event &each : events)
			tellers.writer().event(each);
	};

	// The kernel side counts every record lost, and marks some on the
	// record after them.
	std::uint64_t lost = 0;
	for (const event &record : records) {
		tell(account.decode(record));
		lost = sum(lost, record.lost);
	}
	int status = 0;
	if (end) {
		const __u64 *count = end->counts;
		sigtrace::Tally tally;
		for (const auto &[name, field] : sigtrace::named(tally))
			*field = *count++;
		// Process 0 stands for none; sigtrace takes no counts of a
		// signal that nothing became of.
		if (end->count_pid &&
		    tally.sent + tally.delivered + tally.taken)
			account.adopt(end->count_pid, end->count_sig, tally);
		if (end->end_pid)
			account.adopt_end(end->end_pid, end->end_code,
					  end->end_pending, end->end_blocked);
		status = end->status;
	}
	account.ended(program, status);
	tell(account.lost(end ? sum(lost, end->lost) : lost));
	tellers.writer().summary(account.summary());
	return tellers.told();
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, size_t size)
{
	std::vector<event> records(size / sizeof(event));
	if (!records.empty())
		std::memcpy(records.data(), data,
			    records.size() * sizeof(event));
	End end = {};
	size_t tail = size % sizeof(event);
	if (tail)
		std::memcpy(&end, data + size - tail,
			    std::min(tail, sizeof(end)));

	fuzz::Told traced = decode(records, tail ? &end : nullptr);

	if (!std::all_of(records.begin(), records.end(), carried))
		return 0;
	// The reader refuses what no run makes (a signal past 64, a process
	// heard of after its end, ...), which made-up records often are.
	fuzz::Told read;
	std::string error;
	if (fuzz::read_account(traced.json.data(), traced.json.size(), read,
			       error)) {
		fuzz::same("JSON", traced.json, read.json);
		fuzz::same("text", traced.text, read.text);
		fuzz::same("picture", traced.svg, read.svg);
	}
	return 0;
}
