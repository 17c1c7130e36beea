// SPDX-License-Identifier: ISC
/*
 * The account as JSON Lines: one object per event, in UTF-8, then the
 * summary, for a program to read.  sigtrace(1) names every field.
 */
#include <csignal>
#include <cstdio>
#include <string>

#include "writers.h"

namespace sigtrace
{

namespace
{

constexpr int VERSION = 1;

// The length of the UTF-8 character at text[at], or 0 where no whole
// one starts there.
size_t
utf8_length(const std::string &text, size_t at)
{
	auto lead = static_cast<unsigned char>(text[at]);
	size_t length = lead < 0x80		      ? 1
			: lead >= 0xc2 && lead < 0xe0 ? 2
			: lead >= 0xe0 && lead < 0xf0 ? 3
			: lead >= 0xf0 && lead < 0xf5 ? 4
						      : 0;

	for (size_t next = 1; next < length; next++)
		if (at + next >= text.size() ||
		    (static_cast<unsigned char>(text[at + next]) & 0xc0) !=
			0x80)
			return 0;
	return length;
}

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

const char *
type_name(Type type)
{
	static const char *words[] = {
	    "exec",	   "fork", "thread", "signal",	 "stop",   "continue",
	    "thread_exit", "exit", "lost",   "untraced", "waiting"};
	return words[static_cast<int>(type)];
}

const char *
reason_name(Reason reason)
{
	static const char *words[] = {"",
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
	return words[static_cast<int>(reason)];
}

const char *
action_name(Action action)
{
	static const char *words[] = {"",	  "handler",   "ignore", "stop",
				      "continue", "terminate", "core"};
	return words[static_cast<int>(action)];
}

const char *
by_name(By by)
{
	static const char *words[] = {"",	 "rt_sigtimedwait", "signalfd",
				      "sig_ign", "sigcont",	    "stop"};
	return words[static_cast<int>(by)];
}

std::string
sender(const Sender &from)
{
	static const char *kinds[] = {"self",	     "parent",	"child",
				      "process",     "kernel",	"timer",
				      "posix_timer", "terminal"};
	std::string out =
	    "{\"kind\":" + quote(kinds[static_cast<int>(from.kind)]);

	if (from.pid)
		out += ",\"pid\":" + std::to_string(from.pid) +
		       ",\"tid\":" + std::to_string(from.tid) +
		       ",\"comm\":" + quote(from.comm);
	if (from.reason != Reason::None)
		out += ",\"reason\":" + quote(reason_name(from.reason));
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
	if (ev.has_code)
		out += ",\"code\":" + quote(code_name(ev.sig, ev.code));
	if (ev.has_value)
		out += ",\"value\":" + std::to_string(ev.value);
	if (ev.has_overrun)
		out += ",\"overrun\":" + std::to_string(ev.overrun);
	if (ev.action != Action::None)
		out += ",\"action\":" + quote(action_name(ev.action));
	if (ev.action == Action::Handler)
		out += ",\"flags\":" + flags(ev.flags);
	if (ev.by != By::None)
		out += ",\"by\":" + quote(by_name(ev.by));
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
		std::string out = "{\"type\":" + quote(type_name(ev.type)) +
				  ",\"us\":" + std::to_string(ev.us) +
				  ",\"pid\":" + std::to_string(ev.pid) +
				  ",\"tid\":" + std::to_string(ev.tid);

		last_us_ = ev.us;
		switch (ev.type) {
		case Type::Exec:
			out += ",\"program\":" + quote(ev.comm);
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

} // namespace sigtrace
