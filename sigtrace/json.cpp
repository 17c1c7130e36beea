// SPDX-License-Identifier: ISC
/*
 * The account as JSON Lines: one object per event, in UTF-8, then the
 * summary, for a program to read.  sigtrace(1) names every field.
 *
 * The same account read back becomes the model again, event by event,
 * for any writer to tell anew: a run traced once can be drawn anywhere,
 * with no privilege.
 */
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "writers.h"

namespace sigtrace
{

namespace
{

constexpr int VERSION = 1;

// A JSON string, valid UTF-8 whatever the bytes (a program's name may be
// any): a byte that does not begin a whole character becomes U+FFFD.
std::string
quote(const std::string &text)
{
	std::string out = "\"";

	for (size_t at = 0; at < text.size();) {
		auto ch = static_cast<unsigned char>(text[at]);
		size_t length = utf8_length(text, at);
		if (ch == '"' || ch == '\\')
			out += std::string("\\") + text[at];
		else if (ch < 0x20) {
			char escape[8];
			std::snprintf(escape, sizeof(escape), "\\u%04x", ch);
			out += escape;
		} else if (length)
			out += text.substr(at, length);
		else
			out += "\\ufffd";
		at += length ? length : 1;
	}
	return out + "\"";
}

std::string
names(std::uint64_t set)
{
	std::string list = "[";

	for (int sig = 1; sig <= 64; sig++)
		if (set & 1ULL << (sig - 1))
			list +=
			    (list.size() > 1 ? "," : "") + quote(signame(sig));
	return list + "]";
}

// The words for each enumeration, in its order.
const char *const types[] = {
    "exec", "fork", "thread",	"signal",  "stop",   "continue", "thread_exit",
    "exit", "lost", "untraced", "waiting", "return", "blocked"};
const char *const kinds[] = {"self",   "parent", "child",	"process",
			     "kernel", "timer",	 "posix_timer", "terminal"};
const char *const reasons[] = {"",
			       "pipe",
			       "file_size",
			       "cpu_limit",
			       "key",
			       "resize",
			       "background",
			       "hangup",
			       "child_exited",
			       "child_killed",
			       "child_dumped",
			       "child_trapped",
			       "child_stopped",
			       "child_continued",
			       "fault",
			       "seccomp"};
const char *const actions[] = {"",	   "handler",	"ignore", "stop",
			       "continue", "terminate", "core"};
const char *const bys[] = {"",	      "rt_sigtimedwait", "signalfd",
			   "sig_ign", "sigcont",	 "stop"};

template <typename Enum, size_t N>
const char *
word(const char *const (&words)[N], Enum value)
{
	return words[static_cast<size_t>(value)];
}

std::string
sender(const Sender &from)
{
	std::string out = "{\"kind\":" + quote(word(kinds, from.kind));

	if (from.pid)
		out += ",\"pid\":" + std::to_string(from.pid) +
		       ",\"tid\":" + std::to_string(from.tid) +
		       ",\"comm\":" + quote(from.comm);
	if (from.reason != Reason::None)
		out += ",\"reason\":" + quote(word(reasons, from.reason));
	if (from.child)
		out += ",\"child\":" + std::to_string(from.child);
	return out + "}";
}

std::string
flags(std::uint64_t bits)
{
	std::string list = "[";

	for (const char *name : flag_names(bits))
		list += (list.size() > 1 ? "," : "") + quote(name);
	return list + "]";
}

std::string
signal_fields(const Event &ev)
{
	bool generated = ev.what <= What::Dropped;
	std::string out = ",\"sig\":" + quote(signame(ev.sig)) +
			  ",\"signo\":" + std::to_string(ev.sig) +
			  ",\"what\":" + quote(what_name(ev.what));

	if (generated)
		out += std::string(",\"to\":") +
		       (ev.to_process ? "\"process\"" : "\"thread\"");
	if (generated || ev.has_from)
		out += ",\"from\":" + sender(ev.from);
	if (!generated && ev.has_from)
		out += ",\"queued_us\":" + std::to_string(ev.queued_us);
	if (ev.has_code)
		out += ",\"code\":" + quote(code_name(ev.sig, ev.code));
	if (ev.has_value)
		out += ",\"value\":" + std::to_string(ev.value);
	if (ev.has_overrun)
		out += ",\"overrun\":" + std::to_string(ev.overrun);
	if (ev.action != Action::None)
		out += ",\"action\":" + quote(word(actions, ev.action));
	if (ev.action == Action::Handler)
		out += ",\"flags\":" + flags(ev.flags) +
		       ",\"blocked\":" + names(ev.blocked);
	if (ev.by != By::None)
		out += ",\"by\":" + quote(word(bys, ev.by));
	if (ev.continues)
		out += ",\"continues\":true";
	return out;
}

std::string
end_fields(const Event &end)
{
	std::string out = end.killed_by
			      ? ",\"signal\":" + quote(signame(end.killed_by)) +
				    ",\"core\":" + (end.core ? "true" : "false")
			      : ",\"status\":" + std::to_string(end.status);
	return out + ",\"pending\":" + names(end.pending) +
	       ",\"blocked\":" + names(end.blocked);
}

class Json : public Writer
{
      public:
	explicit Json(FILE *out) : out_(out)
	{
	}

	void
	start(const char *program, pid_t pid) override
	{
		std::fprintf(out_,
			     "{\"type\":\"start\",\"version\":%d,\"us\":0,"
			     "\"pid\":%d,\"tid\":%d,\"program\":%s}\n",
			     VERSION, pid, pid, quote(program).c_str());
		pid_ = pid;
	}

	void
	event(const Account & /*account*/, const Event &ev) override
	{
		std::string out = "{\"type\":" + quote(word(types, ev.type)) +
				  ",\"us\":" + std::to_string(ev.us) +
				  ",\"pid\":" + std::to_string(ev.pid) +
				  ",\"tid\":" + std::to_string(ev.tid);

		last_us_ = ev.us;
		switch (ev.type) {
		case Type::Exec:
			out += ",\"program\":" + quote(ev.comm) +
			       ",\"blocked\":" + names(ev.blocked);
			break;
		case Type::Return:
			if (ev.sig)
				out += ",\"sig\":" + quote(signame(ev.sig)) +
				       ",\"signo\":" + std::to_string(ev.sig);
			if (ev.has_ran)
				out +=
				    ",\"ran_us\":" + std::to_string(ev.ran_us);
			out += std::string(",\"jumped\":") +
			       (ev.jumped ? "true" : "false") +
			       ",\"blocked\":" + names(ev.blocked);
			break;
		case Type::Blocked:
			out += ",\"blocked\":" + names(ev.blocked);
			break;
		case Type::Fork:
			out += ",\"child\":" + std::to_string(ev.child);
			break;
		case Type::Thread:
			out += ",\"thread\":" + std::to_string(ev.child);
			break;
		case Type::Signal:
			out += signal_fields(ev);
			break;
		case Type::ThreadExit:
		case Type::Exit:
			out += end_fields(ev);
			break;
		case Type::Lost:
			out += ",\"count\":" + std::to_string(ev.lost);
			break;
		case Type::Waiting: {
			std::string list;
			for (pid_t pid : ev.waiting)
				list += (list.empty() ? "" : ",") +
					std::to_string(pid);
			out += ",\"for\":[" + list + "]";
			break;
		}
		case Type::Stop:
		case Type::Continue:
		case Type::Untraced:
			break;
		}
		std::fprintf(out_, "%s}\n", out.c_str());
	}

	void
	summary(const Account &account) override
	{
		std::string out =
		    "{\"type\":\"summary\",\"us\":" + std::to_string(last_us_) +
		    ",\"pid\":" + std::to_string(pid_) +
		    ",\"tid\":" + std::to_string(pid_) +
		    ",\"lost\":" + std::to_string(account.lost_total()) +
		    ",\"processes\":[";
		bool first = true;

		for (pid_t pid : account.order()) {
			out += first ? "" : ",";
			out += process(account.process(pid));
			first = false;
		}
		std::fprintf(out_, "%s]}\n", out.c_str());
	}

      private:
	static std::string
	process(const Process &proc)
	{
		std::string out =
		    "{\"pid\":" + std::to_string(proc.pid) + ",\"label\":" +
		    (proc.parent ? "\"child\"" : "\"process\"") +
		    ",\"program\":" + quote(proc.program) + ",\"signals\":{";
		bool first = true;

		for (const auto &[sig, n] : proc.signals) {
			out += (first ? "" : ",") + quote(signame(sig)) +
			       ":{\"signo\":" + std::to_string(sig);
			for (const auto &[kind, count] : named(n))
				out += std::string(",\"") + kind +
				       "\":" + std::to_string(count);
			out += "}";
			first = false;
		}
		out += "},\"end\":";
		if (proc.ended)
			out += "{" + end_fields(proc.end).substr(1) + "}";
		else
			out += proc.untraced ? "\"untraced\"" : "null";
		return out + "}";
	}

	FILE *out_;
	pid_t pid_ = 0;
	std::uint64_t last_us_ = 0;
};

} // namespace

std::unique_ptr<Writer>
json_writer(FILE *out)
{
	return std::make_unique<Json>(out);
}

namespace
{

// A JSON value, as much of JSON as the account holds.
struct Value {
	enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
	bool yes = false;
	double number = 0;
	std::string text;
	std::vector<Value> items;
	std::vector<std::pair<std::string, Value>> fields;
};

class Parser
{
      public:
	Parser(const std::string &text, std::string &error)
	    : text_(text), error_(error)
	{
	}

	// The line's one value; false, with the fault told, where it is not.
	bool
	document(Value &value)
	{
		value = parse(0);
		space();
		if (at_ != text_.size())
			fail("more after the object");
		return error_.empty();
	}

      private:
	// The first fault is told; the rest of the line is passed over.
	void
	fail(const char *what)
	{
		if (error_.empty())
			error_ = std::string(what) + " at byte " +
				 std::to_string(at_ + 1);
		at_ = text_.size();
	}

	void
	space()
	{
		while (at_ < text_.size() && std::strchr(" \t\r\n", text_[at_]))
			at_++;
	}

	bool
	take(char ch)
	{
		space();
		if (at_ < text_.size() && text_[at_] == ch) {
			at_++;
			return true;
		}
		return false;
	}

	void
	expect(char ch)
	{
		if (!take(ch))
			fail((std::string("expected ") + ch).c_str());
	}

	Value
	parse(int depth)
	{
		Value value;

		if (depth > 8)
			fail("nested too deep");
		space();
		if (at_ == text_.size()) {
			fail("a value missing");
			return value;
		}
		char ch = text_[at_];
		if (ch == '{') {
			value.kind = Value::Object;
			at_++;
			if (take('}'))
				return value;
			do {
				space();
				std::string key = string();
				expect(':');
				value.fields.emplace_back(key,
							  parse(depth + 1));
			} while (take(','));
			expect('}');
		} else if (ch == '[') {
			value.kind = Value::Array;
			at_++;
			if (take(']'))
				return value;
			do
				value.items.push_back(parse(depth + 1));
			while (take(','));
			expect(']');
		} else if (ch == '"') {
			value.kind = Value::String;
			value.text = string();
		} else if (word("true")) {
			value.kind = Value::Bool;
			value.yes = true;
		} else if (word("false")) {
			value.kind = Value::Bool;
		} else if (word("null")) {
			value.kind = Value::Null;
		} else {
			const char *start = text_.c_str() + at_;
			char *end;
			value.kind = Value::Number;
			value.number = std::strtod(start, &end);
			if (end == start)
				fail("not JSON");
			else
				at_ += static_cast<size_t>(end - start);
		}
		return value;
	}

	bool
	word(const char *name)
	{
		size_t length = std::strlen(name);
		if (text_.compare(at_, length, name) != 0)
			return false;
		at_ += length;
		return true;
	}

	// A string, its escapes undone, as UTF-8.
	std::string
	string()
	{
		std::string out;

		if (at_ >= text_.size() || text_[at_] != '"') {
			fail("expected a string");
			return out;
		}
		for (at_++; at_ < text_.size() && text_[at_] != '"'; at_++) {
			if (text_[at_] != '\\') {
				out += text_[at_];
				continue;
			}
			if (++at_ == text_.size())
				break;
			char ch = text_[at_];
			if (ch != 'u') {
				const char *from = "\"\\/bfnrt";
				const char *to = "\"\\/\b\f\n\r\t";
				const char *found = std::strchr(from, ch);
				if (!found || !ch) {
					fail("a bad escape");
					return out;
				}
				out += to[found - from];
				continue;
			}
			if (at_ + 4 >= text_.size()) {
				fail("a bad escape");
				return out;
			}
			unsigned long code = std::strtoul(
			    text_.substr(at_ + 1, 4).c_str(), nullptr, 16);
			at_ += 4;
			// The writer escapes only control bytes and U+FFFD.
			if (code < 0x80)
				out += static_cast<char>(code);
			else if (code < 0x800) {
				out += static_cast<char>(0xc0 | code >> 6);
				out += static_cast<char>(0x80 | (code & 0x3f));
			} else {
				out += static_cast<char>(0xe0 | code >> 12);
				out += static_cast<char>(0x80 |
							 (code >> 6 & 0x3f));
				out += static_cast<char>(0x80 | (code & 0x3f));
			}
		}
		if (at_ >= text_.size()) {
			fail("a string not ended");
			return out;
		}
		at_++;
		return out;
	}

	const std::string &text_;
	std::string &error_;
	size_t at_ = 0;
};

// The fields of one record, each as the writer wrote it.
class Record
{
      public:
	Record(const Value &value, std::string &error)
	    : value_(value), error_(error)
	{
		if (value.kind != Value::Object)
			fault("not a JSON object");
	}

	// The first fault is told; what follows it reads as nothing.
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
		for (const auto &[key, value] : value_.fields)
			if (key == name)
				return &value;
		return nullptr;
	}

	std::uint64_t
	count(const char *name) const
	{
		const Value *value = need(name, Value::Number);
		if (value->number < 0)
			fault(std::string(name) + " below 0");
		return value->number < 0
			   ? 0
			   : static_cast<std::uint64_t>(value->number);
	}

	pid_t
	id(const char *name) const
	{
		return static_cast<pid_t>(count(name));
	}

	const std::string &
	text(const char *name) const
	{
		return need(name, Value::String)->text;
	}

	bool
	yes(const char *name) const
	{
		const Value *value = has(name);
		return value && value->kind == Value::Bool && value->yes;
	}

	// One of a list of words, as the value of an enumeration.
	template <typename Enum, size_t N>
	Enum
	one_of(const char *name, const char *const (&words)[N]) const
	{
		const std::string &said = text(name);
		for (size_t i = 0; i < N; i++)
			if (said == words[i])
				return static_cast<Enum>(i);
		fault(std::string(name) + " \"" + said + "\" unknown");
		return Enum();
	}

	std::uint64_t
	set(const char *name) const
	{
		const std::vector<Value> &items =
		    need(name, Value::Array)->items;
		return std::accumulate(
		    items.begin(), items.end(), std::uint64_t{0},
		    [this](std::uint64_t bits, const Value &item) {
			    int sig = signal(item.text);
			    return sig ? bits | 1ULL << (sig - 1) : bits;
		    });
	}

	const std::vector<Value> &
	list(const char *name) const
	{
		return need(name, Value::Array)->items;
	}

	const std::vector<std::pair<std::string, Value>> &
	fields(const char *name) const
	{
		return need(name, Value::Object)->fields;
	}

	int
	signal(const std::string &name) const
	{
		for (int sig = 1; sig <= 64; sig++)
			if (signame(sig) == name)
				return sig;
		fault("signal \"" + name + "\" unknown");
		return 0;
	}

      private:
	const Value *
	need(const char *name, Value::Kind kind) const
	{
		// An empty value of each kind, to read on from.
		static const std::vector<Value> none = [] {
			std::vector<Value> each(Value::Object + 1);
			for (size_t at = 0; at < each.size(); at++)
				each[at].kind = static_cast<Value::Kind>(at);
			return each;
		}();
		const Value *value = has(name);
		if (value && value->kind == kind)
			return value;
		fault(std::string(name) + " missing or not of its kind");
		return &none[kind];
	}

	const Value &value_;
	std::string &error_;
};

Sender
sender_of(const Value &value, std::string &error)
{
	Record record(value, error);
	Sender from;

	from.kind = record.one_of<From>("kind", kinds);
	if (record.has("pid")) {
		from.pid = record.id("pid");
		from.tid = record.id("tid");
		from.comm = record.text("comm");
	}
	if (record.has("reason"))
		from.reason = record.one_of<Reason>("reason", reasons);
	if (record.has("child"))
		from.child = record.id("child");
	return from;
}

// The si_code by its name, as code_name() gives it.
int
code_of(const Record &record, int sig, const std::string &name)
{
	for (int code = -64; code <= 0x80; code++)
		if (code_name(sig, code) == name)
			return code;
	record.fault("code \"" + name + "\" unknown");
	return 0;
}

void
signal_of(const Record &record, Event &ev)
{
	ev.sig = static_cast<int>(record.count("signo"));
	const std::string &what = record.text("what");
	for (int i = 0; i <= static_cast<int>(What::Discarded); i++)
		if (what == what_name(static_cast<What>(i)))
			ev.what = static_cast<What>(i);
	if (what != what_name(ev.what))
		record.fault("what \"" + what + "\" unknown");
	if (record.has("to"))
		ev.to_process = record.text("to") == "process";
	ev.has_from = record.has("from");
	if (ev.has_from)
		ev.from = sender_of(*record.has("from"), record.error());
	if (record.has("queued_us"))
		ev.queued_us = record.count("queued_us");
	if ((ev.has_code = record.has("code")))
		ev.code = code_of(record, ev.sig, record.text("code"));
	if ((ev.has_value = record.has("value")))
		ev.value = record.count("value");
	if ((ev.has_overrun = record.has("overrun")))
		ev.overrun = static_cast<int>(record.count("overrun"));
	if (record.has("action"))
		ev.action = record.one_of<Action>("action", actions);
	if (record.has("flags"))
		for (const Value &flag : record.list("flags"))
			for (std::uint64_t bit = 1; bit; bit <<= 1)
				for (const char *name : flag_names(bit))
					if (flag.text == name)
						ev.flags |= bit;
	if (record.has("by"))
		ev.by = record.one_of<By>("by", bys);
	ev.continues = record.yes("continues");
}

void
end_of(const Record &record, Event &ev)
{
	if (record.has("signal")) {
		ev.killed_by = record.signal(record.text("signal"));
		ev.core = record.yes("core");
	} else
		ev.status = static_cast<int>(record.count("status"));
	ev.pending = record.set("pending");
}

Event
event_of(const Record &record)
{
	Event ev;

	ev.type = record.one_of<Type>("type", types);
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
			ev.waiting.push_back(static_cast<pid_t>(pid.number));
		break;
	case Type::Return:
		if (record.has("signo"))
			ev.sig = static_cast<int>(record.count("signo"));
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

// The summary's counts and ends, which hold where lines were lost.
void
summary_of(const Record &record, Account &account)
{
	account.replay_summary(record.count("lost"));
	for (const Value &each : record.list("processes")) {
		Record proc(each, record.error());
		pid_t pid = proc.id("pid");
		for (const auto &[name, counts] : proc.fields("signals")) {
			Record read(counts, record.error());
			Tally tally;
			std::uint64_t *fields[] = {
			    &tally.sent,      &tally.pending, &tally.merged,
			    &tally.ignored,   &tally.lost,    &tally.dropped,
			    &tally.delivered, &tally.taken,   &tally.discarded};
			std::uint64_t **field = fields;
			// In the order named() gives them.
			for (const auto &[kind, count] : named(tally))
				**field++ = read.count(kind);
			account.adopt(
			    pid, static_cast<int>(read.count("signo")), tally);
		}
		const Value *end = proc.has("end");
		if (end && end->kind == Value::Object) {
			Record ended(*end, record.error());
			Event ev;
			end_of(ended, ev);
			int code = ev.killed_by
				       ? ev.killed_by | (ev.core ? 0x80 : 0)
				       : ev.status << 8;
			account.adopt_end(pid, code, ev.pending,
					  ended.set("blocked"));
		}
	}
}

// One line of the account, told to the model; the fault, if any.
std::string
replay_line(const std::string &text, Account &account, Writer &writer,
	    bool &started)
{
	std::string error;
	Value value;
	if (!Parser(text, error).document(value))
		return error;
	Record record(value, error);
	const std::string &type = record.text("type");

	if (type == "start") {
		if (record.count("version") != VERSION)
			return "an account of another version";
		if (error.empty()) {
			writer.start(record.text("program").c_str(),
				     record.id("pid"));
			started = true;
		}
	} else if (!started)
		return "no start before it";
	else if (type == "summary")
		summary_of(record, account);
	else {
		Event ev = event_of(record);
		if (error.empty())
			account.replay(ev);
	}
	return error;
}

} // namespace

bool
replay_json(FILE *in, Writer &writer, std::string &error)
{
	Account account(writer, 0);
	std::string text;
	bool started = false;
	size_t number = 0;

	for (int ch; (ch = std::getc(in)) != EOF;) {
		if (ch != '\n') {
			text += static_cast<char>(ch);
			continue;
		}
		number++;
		if (text.find_first_not_of(" \t\r") != std::string::npos)
			error = replay_line(text, account, writer, started);
		if (!error.empty()) {
			error.insert(0,
				     "line " + std::to_string(number) + ": ");
			return false;
		}
		text.clear();
	}
	if (!started) {
		error = "no account in it";
		return false;
	}
	// An account cut short is told as far as it goes.
	writer.summary(account);
	return true;
}

} // namespace sigtrace
