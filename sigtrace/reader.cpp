// SPDX-License-Identifier: ISC
/*
 * An account that json.cpp wrote, read back: each line checked as it
 * comes, its events given to the model, which names their processes as
 * it named them when the run was traced, and on to a writer to tell
 * anew.  A run traced once can be drawn anywhere, with no privilege.
 */
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>

#include "account.h"
#include "writers.h"

namespace sigtrace
{

namespace
{

using Value = nlohmann::json;

// The longest line an account may hold: a summary of thousands of
// processes fits in it many times over, and nothing read grows past it.
constexpr size_t LONGEST = 1 << 20;

// The si_code of a signal by the name code_name() gives it, or by its
// number where it has none.
bool
code_of(int sig, const std::string &name, int &code)
{
	static std::unordered_map<int, std::unordered_map<std::string, int>>
	    by_signal;
	auto [it, added] = by_signal.try_emplace(sig);
	if (added)
		for (int each = -64; each <= 0x80; each++)
			it->second.emplace(code_name(sig, each), each);
	auto found = it->second.find(name);
	if (found != it->second.end()) {
		code = found->second;
		return true;
	}
	char *end = nullptr;
	errno = 0;
	long number = std::strtol(name.c_str(), &end, 10);
	if (name.empty() || *end || errno || number < INT_MIN ||
	    number > INT_MAX || name != std::to_string(number))
		return false;
	code = static_cast<int>(number);
	return true;
}

// A flag of struct sigaction by the name flag_names() gives it; 0 where
// none has it.
std::uint64_t
flag_named(const std::string &name)
{
	for (int at = 0; at < 64; at++) {
		std::vector<const char *> names = flag_names(1ULL << at);
		if (std::find(names.begin(), names.end(), name) != names.end())
			return 1ULL << at;
	}
	return 0;
}

// A signal by the name signame() gives it; 0 where none has it.
int
signal_named(const std::string &name)
{
	static const std::unordered_map<std::string, int> signals = [] {
		std::unordered_map<std::string, int> all;
		for (int sig = 64; sig >= 1; sig--)
			all[signame(sig)] = sig;
		return all;
	}();
	auto found = signals.find(name);
	return found == signals.end() ? 0 : found->second;
}

// The fields of one record, each checked for its kind and range before
// it is used.  The first fault is kept; what follows it reads as 0.
class Record
{
      public:
	Record(const Value &value, std::string &error)
	    : value_(value), error_(error)
	{
		if (!value.is_object())
			fault("not a JSON object");
	}

	void
	fault(const std::string &what) const
	{
		if (error_.empty())
			error_ = what;
	}

	std::string &
	error() const
	{
		return error_;
	}

	const Value *
	has(const char *name) const
	{
		if (!value_.is_object())
			return nullptr;
		auto found = value_.find(name);
		return found == value_.end() ? nullptr : &*found;
	}

	// A whole number from 0 to most.
	std::uint64_t
	count(const char *name,
	      std::uint64_t most =
		  std::numeric_limits<std::uint64_t>::max()) const
	{
		const Value *value = need(name);
		if (!value)
			return 0;
		if (!value->is_number_unsigned()) {
			fault(std::string(name) + " is not a whole number");
			return 0;
		}
		auto number = value->get<std::uint64_t>();
		if (number > most) {
			fault(std::string(name) + " is out of range");
			return 0;
		}
		return number;
	}

	pid_t
	id(const char *name) const
	{
		return static_cast<pid_t>(count(name, INT_MAX));
	}

	int
	signo(const char *name) const
	{
		auto sig = static_cast<int>(count(name, 64));
		if (!sig)
			fault(std::string(name) + " is out of range");
		return sig;
	}

	std::string
	text(const char *name) const
	{
		const Value *value = need(name);
		if (value && value->is_string())
			return value->get<std::string>();
		if (value)
			fault(std::string(name) + " is not a string");
		return "";
	}

	bool
	yes(const char *name) const
	{
		const Value *value = has(name);
		if (value && !value->is_boolean())
			fault(std::string(name) + " is not true or false");
		return value && value->is_boolean() && value->get<bool>();
	}

	// One of an enumeration's words, as its value.
	template <typename Enum>
	Enum
	one_of(const char *name) const
	{
		const auto &words = Words<Enum>::all;
		std::string said = text(name);
		for (size_t i = 0; i < std::size(words); i++)
			if (said == words[i])
				return static_cast<Enum>(i);
		fault(std::string(name) + " \"" + said + "\" unknown");
		return Enum();
	}

	const Value &
	list(const char *name) const
	{
		static const Value none = Value::array();
		const Value *value = need(name);
		if (value && value->is_array())
			return *value;
		if (value)
			fault(std::string(name) + " is not a list");
		return none;
	}

	const Value &
	object(const char *name) const
	{
		static const Value none = Value::object();
		const Value *value = need(name);
		if (value && value->is_object())
			return *value;
		if (value)
			fault(std::string(name) + " is not an object");
		return none;
	}

	int
	signal(const std::string &name) const
	{
		int sig = signal_named(name);
		if (!sig)
			fault("signal \"" + name + "\" unknown");
		return sig;
	}

	std::uint64_t
	set(const char *name) const
	{
		std::uint64_t bits = 0;

		for (const Value &item : list(name))
			if (!item.is_string())
				fault(std::string(name) + " holds a non-name");
			else if (int sig = signal(item.get<std::string>()))
				bits |= 1ULL << (sig - 1);
		return bits;
	}

      private:
	const Value *
	need(const char *name) const
	{
		const Value *value = has(name);
		if (!value)
			fault(std::string(name) + " is missing");
		return value;
	}

	const Value &value_;
	std::string &error_;
};

Sender
sender_of(const Value &value, std::string &error)
{
	Record record(value, error);
	Sender from;

	from.kind = record.one_of<From>("kind");
	if (record.has("pid")) {
		from.pid = record.id("pid");
		from.tid = record.id("tid");
		from.comm = record.text("comm");
	}
	if (record.has("reason"))
		from.reason = record.one_of<Reason>("reason");
	if (record.has("timer"))
		from.timer = static_cast<int>(record.count("timer", INT_MAX));
	if (record.has("child"))
		from.child = record.id("child");
	return from;
}

void
signal_of(const Record &record, Event &ev)
{
	ev.sig = record.signo("signo");
	ev.what = record.one_of<What>("what");
	if (record.has("to"))
		ev.to_process = record.text("to") == "process";
	ev.has_from = record.has("from");
	if (ev.has_from)
		ev.from = sender_of(*record.has("from"), record.error());
	if (record.has("queued_us"))
		ev.queued_us = record.count("queued_us");
	if ((ev.has_code = record.has("code")) &&
	    !code_of(ev.sig, record.text("code"), ev.code))
		record.fault("code \"" + record.text("code") + "\" unknown");
	if ((ev.has_value = record.has("value")))
		ev.value = record.count("value");
	if ((ev.has_overrun = record.has("overrun")))
		ev.overrun = static_cast<int>(record.count("overrun", INT_MAX));
	if (record.has("action"))
		ev.action = record.one_of<Action>("action");
	if (record.has("flags"))
		for (const Value &flag : record.list("flags")) {
			std::uint64_t bit =
			    flag.is_string()
				? flag_named(flag.get<std::string>())
				: 0;
			if (!bit)
				record.fault("a flag unknown");
			ev.flags |= bit;
		}
	if (record.has("by"))
		ev.by = record.one_of<By>("by");
	ev.continues = record.yes("continues");
	ev.requeued = record.yes("requeued");
	ev.given_back = record.yes("given_back");
}

void
end_of(const Record &record, Event &ev)
{
	if (record.has("signal")) {
		ev.killed_by = record.signal(record.text("signal"));
		ev.core = record.yes("core");
	} else
		ev.status = static_cast<int>(record.count("status", 255));
	ev.pending = record.set("pending");
}

Event
event_of(const Record &record)
{
	Event ev;

	ev.type = record.one_of<Type>("type");
	ev.us = record.count("us");
	ev.pid = record.id("pid");
	ev.tid = record.id("tid");
	if ((ev.has_blocked = record.has("blocked")))
		ev.blocked = record.set("blocked");
	switch (ev.type) {
	case Type::Exec:
		ev.comm = record.text("program");
		break;
	case Type::Fork:
		ev.child = record.id("child");
		break;
	case Type::Thread:
		ev.child = record.id("thread");
		break;
	case Type::Signal:
		signal_of(record, ev);
		break;
	case Type::ThreadExit:
	case Type::Exit:
		end_of(record, ev);
		break;
	case Type::Lost:
		ev.lost = record.count("count");
		break;
	case Type::Waiting:
		for (const Value &pid : record.list("for"))
			if (pid.is_number_unsigned() &&
			    pid.get<std::uint64_t>() <= INT_MAX)
				ev.waiting.push_back(
				    {static_cast<pid_t>(
					 pid.get<std::uint64_t>()),
				     false, ""});
			else
				record.fault("for holds a bad process id");
		break;
	case Type::Return:
		if (record.has("signo"))
			ev.sig = record.signo("signo");
		if ((ev.has_ran = record.has("ran_us")))
			ev.ran_us = record.count("ran_us");
		ev.jumped = record.yes("jumped");
		break;
	case Type::Stop:
	case Type::Continue:
	case Type::Untraced:
	case Type::Blocked:
		break;
	}
	return ev;
}

// What may still be said of a process once it has ended: another
// thread's end, which the kernel may pass on just after it, a signal
// sent to it, records lost, and the wait for its descendants.
bool
after_end(const Event &ev)
{
	return ev.type == Type::ThreadExit || ev.type == Type::Lost ||
	       ev.type == Type::Waiting ||
	       (ev.type == Type::Signal && ev.what <= What::Dropped);
}

// An account read back, line by line, in the order that its writer
// keeps: one start first, time never going back, nothing for a process
// after its end but what may follow it, and the summary last.
class Replay
{
      public:
	explicit Replay(Writer &writer) : writer_(writer), account_(0)
	{
	}

	// The fault of the line, if any.
	std::string
	line(const std::string &text)
	{
		std::string error;
		Value value = Value::parse(text, nullptr, false);
		if (value.is_discarded())
			return "not JSON";
		Record record(value, error);
		std::string type = record.text("type");
		if (!error.empty())
			return error;
		if (type == "start")
			start(record);
		else if (!started_)
			return "no start before it";
		else if (summed_)
			return "a record after the summary";
		else if (type == "summary")
			summary(record);
		else
			event(record);
		return error;
	}

	bool
	started() const
	{
		return started_;
	}

	void
	finish()
	{
		// An account cut short is told as far as it goes.
		writer_.summary(account_.summary());
	}

      private:
	void
	start(const Record &record)
	{
		if (started_)
			return record.fault("a second start");
		if (record.count("version") != ACCOUNT_VERSION)
			return record.fault("an account of another version");
		std::string program = record.text("program");
		pid_t pid = record.id("pid");
		if (program.find('\0') != std::string::npos)
			record.fault("program holds a NUL byte");
		if (record.error().empty()) {
			writer_.start(program.c_str(), pid);
			started_ = true;
		}
	}

	void
	event(const Record &record)
	{
		Event ev = event_of(record);
		if (!record.error().empty())
			return;
		if (ev.us < last_us_)
			return record.fault("time goes back");
		if (ended_.count(ev.pid) && !after_end(ev))
			return record.fault(
			    "process " + std::to_string(ev.pid) + " has ended");
		if (ev.type == Type::Lost && !add_lost(ev.lost))
			return record.fault("more lost than can be counted");
		if (ev.type == Type::Exit)
			ended_.insert(ev.pid);
		last_us_ = ev.us;
		const std::vector<Event> &made = account_.replay(std::move(ev));
		for (const Event &each : made)
			writer_.event(each);
	}

	bool
	add_lost(std::uint64_t n)
	{
		if (lost_ + n < lost_)
			return false;
		lost_ += n;
		return true;
	}

	// The summary's counts and ends, which hold where lines were lost,
	// and its processes' order.
	void
	summary(const Record &record)
	{
		std::uint64_t lost = record.count("lost");
		std::uint64_t skipped =
		    record.has("skipped") ? record.count("skipped") : 0;
		std::vector<pid_t> order;
		std::unordered_set<pid_t> listed;
		for (const Value &each : record.list("processes")) {
			Record proc(each, record.error());
			pid_t pid = proc.id("pid");
			if (!listed.insert(pid).second)
				record.fault("process " + std::to_string(pid) +
					     " listed twice");
			order.push_back(pid);
			for (const auto &[name, counts] :
			     proc.object("signals").items())
				tally(Record(counts, record.error()), pid);
			const Value *end = proc.has("end");
			if (end && end->is_object())
				replay_end(Record(*end, record.error()), pid);
		}
		if (record.error().empty()) {
			account_.replay_summary(lost, skipped, order);
			summed_ = true;
		}
	}

	void
	tally(const Record &counts, pid_t pid)
	{
		Tally tally;
		for (const auto &[kind, count] : named(tally))
			*count = counts.count(kind);
		int sig = counts.signo("signo");
		if (counts.error().empty())
			account_.adopt(pid, sig, tally);
	}

	void
	replay_end(const Record &end, pid_t pid)
	{
		Event ev;
		end_of(end, ev);
		ev.has_blocked = true;
		ev.blocked = end.set("blocked");
		if (end.error().empty())
			account_.replay_end(pid, ev);
	}

	Writer &writer_;
	Account account_;
	bool started_ = false;
	bool summed_ = false;
	std::uint64_t last_us_ = 0;
	std::uint64_t lost_ = 0;
	std::unordered_set<pid_t> ended_;
};

// The next line of in, without its newline; false at the end, or with
// the fault in error.  A last line needs no newline.
bool
next_line(FILE *in, std::string &text, std::string &error)
{
	int ch;

	text.clear();
	while ((ch = getc_unlocked(in)) != EOF && ch != '\n') {
		if (text.size() == LONGEST) {
			error = "longer than any account's line";
			return false;
		}
		text += static_cast<char>(ch);
	}
	if (std::ferror(in)) {
		error = std::strerror(errno);
		return false;
	}
	return ch == '\n' || !text.empty();
}

} // namespace

bool
replay_json(FILE *in, Writer &writer, std::string &error)
{
	Replay replay(writer);
	std::string text;
	size_t number = 0;

	error.clear();
	for (number = 1; next_line(in, text, error); number++) {
		if (text.find_first_not_of(" \t\r") != std::string::npos)
			error = replay.line(text);
		if (!error.empty())
			break;
	}
	if (!error.empty()) {
		// A fault of the reading itself belongs to no line.
		if (!std::ferror(in))
			error.insert(0,
				     "line " + std::to_string(number) + ": ");
		return false;
	}
	if (!replay.started()) {
		error = "no account in it";
		return false;
	}
	replay.finish();
	return true;
}

} // namespace sigtrace
