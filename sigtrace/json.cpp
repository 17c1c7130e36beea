// SPDX-License-Identifier: ISC
/*
 * The account as JSON Lines: one object per event, in UTF-8, then the
 * summary, for a program to read.  sigtrace(1) names every field, and
 * reader.cpp reads them back.
 */
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>

#include "writers.h"

namespace sigtrace
{

namespace
{

// A byte that a JSON string holds as it is, wherever it is.
bool
plain(unsigned char ch)
{
	return ch >= 0x20 && ch < 0x80 && ch != '"' && ch != '\\';
}

// A JSON string added to out, valid UTF-8 whatever the bytes (a
// program's name may be any): a byte that does not begin a whole
// character becomes U+FFFD.
void
add_quoted(Line &out, const std::string &text)
{
	out << '"';
	for (size_t at = 0; at < text.size();) {
		auto ch = static_cast<unsigned char>(text[at]);
		if (plain(ch)) {
			size_t end = at + 1;
			while (end < text.size() &&
			       plain(static_cast<unsigned char>(text[end])))
				end++;
			out.add(text.data() + at, end - at);
			at = end;
			continue;
		}
		size_t length = utf8_length(text, at);
		if (ch == '"' || ch == '\\') {
			out << '\\';
			out << text[at];
		} else if (ch < 0x20) {
			char escape[8];
			std::snprintf(escape, sizeof(escape), "\\u%04x", ch);
			out << escape;
		} else if (length)
			out.add(text.data() + at, length);
		else
			out << "\\ufffd";
		at += length ? length : 1;
	}
	out << '"';
}

// One of sigtrace's own words, as a JSON string: the names of signals,
// codes and flags and the words below are plain ASCII, which needs no
// escape.
template <typename Word>
void
add_word(Line &out, const Word &word)
{
	out << '"' << word << '"';
}

std::string
quote(const std::string &text)
{
	Line out;
	add_quoted(out, text);
	return out.str();
}

void
add_names(Line &out, std::uint64_t set)
{
	out << '[';
	for (bool first = true; set; set &= set - 1, first = false) {
		if (!first)
			out << ',';
		add_word(out, signame(__builtin_ctzll(set) + 1));
	}
	out << ']';
}

void
add_sender(Line &out, const Sender &from)
{
	out << "{\"kind\":";
	add_word(out, word(from.kind));
	if (from.pid) {
		out << ",\"pid\":";
		out.number(from.pid);
		out << ",\"tid\":";
		out.number(from.tid);
		out << ",\"comm\":";
		add_quoted(out, from.comm);
	}
	if (from.reason != Reason::None) {
		out << ",\"reason\":";
		add_word(out, word(from.reason));
	}
	if (from.timer >= 0) {
		out << ",\"timer\":";
		out.number(from.timer);
	}
	if (from.child) {
		out << ",\"child\":";
		out.number(from.child);
	}
	out << '}';
}

void
add_flags(Line &out, std::uint64_t bits)
{
	bool first = true;

	out << '[';
	for (const char *name : flag_names(bits)) {
		if (!first)
			out << ',';
		add_word(out, name);
		first = false;
	}
	out << ']';
}

void
add_signal(Line &out, const Event &ev)
{
	bool generated = ev.what <= What::Dropped;

	out << ",\"sig\":";
	add_word(out, signame(ev.sig));
	out << ",\"signo\":";
	out.number(ev.sig);
	out << ",\"what\":";
	add_word(out, word(ev.what));
	if (generated)
		out << (ev.to_process ? ",\"to\":\"process\""
				      : ",\"to\":\"thread\"");
	if (generated || ev.has_from) {
		out << ",\"from\":";
		add_sender(out, ev.from);
	}
	if (!generated && ev.has_from) {
		out << ",\"queued_us\":";
		out.number(ev.queued_us);
	}
	if (ev.has_code) {
		out << ",\"code\":";
		add_word(out, code_name(ev.sig, ev.code));
	}
	if (ev.has_value) {
		out << ",\"value\":";
		out.number(ev.value);
	}
	if (ev.has_overrun) {
		out << ",\"overrun\":";
		out.number(ev.overrun);
	}
	if (ev.action != Action::None) {
		out << ",\"action\":";
		add_word(out, word(ev.action));
	}
	if (ev.action == Action::Handler) {
		out << ",\"flags\":";
		add_flags(out, ev.flags);
		out << ",\"blocked\":";
		add_names(out, ev.blocked);
	}
	if (ev.by != By::None) {
		out << ",\"by\":";
		add_word(out, word(ev.by));
	}
	if (ev.continues)
		out << ",\"continues\":true";
	if (ev.requeued)
		out << ",\"requeued\":true";
	if (ev.given_back)
		out << ",\"given_back\":true";
}

void
add_end(Line &out, const Event &end)
{
	if (end.killed_by) {
		out << ",\"signal\":";
		add_word(out, signame(end.killed_by));
		out << (end.core ? ",\"core\":true" : ",\"core\":false");
	} else {
		out << ",\"status\":";
		out.number(end.status);
	}
	out << ",\"pending\":";
	add_names(out, end.pending);
	out << ",\"blocked\":";
	add_names(out, end.blocked);
}

std::string
end_fields(const Event &end)
{
	Line out;
	add_end(out, end);
	return out.str();
}

// The fields of an event's type, after those that every event has.
void
add_fields(Line &out, const Event &ev)
{
	switch (ev.type) {
	case Type::Exec:
		out << ",\"program\":";
		add_quoted(out, ev.comm);
		out << ",\"blocked\":";
		add_names(out, ev.blocked);
		break;
	case Type::Return:
		if (ev.sig) {
			out << ",\"sig\":";
			add_word(out, signame(ev.sig));
			out << ",\"signo\":";
			out.number(ev.sig);
		}
		if (ev.has_ran) {
			out << ",\"ran_us\":";
			out.number(ev.ran_us);
		}
		out << (ev.jumped ? ",\"jumped\":true" : ",\"jumped\":false");
		out << ",\"blocked\":";
		add_names(out, ev.blocked);
		break;
	case Type::Blocked:
		out << ",\"blocked\":";
		add_names(out, ev.blocked);
		break;
	case Type::Fork:
		out << ",\"child\":";
		out.number(ev.child);
		break;
	case Type::Thread:
		out << ",\"thread\":";
		out.number(ev.child);
		break;
	case Type::Signal:
		add_signal(out, ev);
		break;
	case Type::ThreadExit:
	case Type::Exit:
		add_end(out, ev);
		break;
	case Type::Lost:
		out << ",\"count\":";
		out.number(ev.lost);
		break;
	case Type::Waiting: {
		out << ",\"for\":[";
		bool first = true;
		for (const Who &each : ev.waiting) {
			if (!first)
				out << ',';
			out.number(each.pid);
			first = false;
		}
		out << ']';
		break;
	}
	case Type::Stop:
	case Type::Continue:
	case Type::Untraced:
		break;
	}
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
			     ACCOUNT_VERSION, pid, pid, quote(program).c_str());
		pid_ = pid;
	}

	void
	event(const Event &ev) override
	{
		Line &out = line_;

		out.clear();
		out << "{\"type\":";
		add_word(out, word(ev.type));
		out << ",\"us\":";
		out.number(ev.us);
		out << ",\"pid\":";
		out.number(ev.pid);
		out << ",\"tid\":";
		out.number(ev.tid);
		last_us_ = ev.us;
		add_fields(out, ev);
		out << "}\n";
		std::fwrite(out.data(), 1, out.size(), out_);
	}

	void
	summary(const Summary &summary) override
	{
		std::string out =
		    "{\"type\":\"summary\",\"us\":" + std::to_string(last_us_) +
		    ",\"pid\":" + std::to_string(pid_) +
		    ",\"tid\":" + std::to_string(pid_) +
		    ",\"lost\":" + std::to_string(summary.lost) +
		    (summary.skipped
			 ? ",\"skipped\":" + std::to_string(summary.skipped)
			 : "") +
		    ",\"processes\":[";
		bool first = true;

		for (const ProcessSummary &each : summary.processes) {
			out += first ? "" : ",";
			out += process(each);
			first = false;
		}
		std::fprintf(out_, "%s]}\n", out.c_str());
	}

      private:
	static std::string
	process(const ProcessSummary &proc)
	{
		std::string out =
		    "{\"pid\":" + std::to_string(proc.who.pid) + ",\"label\":" +
		    (proc.who.child ? "\"child\"" : "\"process\"") +
		    ",\"program\":" + quote(proc.who.program) +
		    ",\"signals\":{";
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
		if (proc.standing == Standing::Ended)
			out += "{" + end_fields(proc.end).substr(1) + "}";
		else
			out += proc.standing == Standing::Untraced
				   ? "\"untraced\""
				   : "null";
		return out + "}";
	}

	FILE *out_;
	pid_t pid_ = 0;
	std::uint64_t last_us_ = 0;
	Line line_; // the line being made, kept for the next
};

} // namespace

std::unique_ptr<Writer>
json_writer(FILE *out)
{
	return std::make_unique<Json>(out);
}

} // namespace sigtrace
