// SPDX-License-Identifier: ISC
// Accounts read back by sigtrace --from, from anyone: what is refused,
// with its line, and what is read exactly; names as the writers print
// them.  No root, no BPF.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "writers.h"

using namespace sigtrace;

namespace
{

int failures = 0;
int checks = 0;

void
expect(const std::string &what, const std::string &got, const std::string &want)
{
	checks++;
	if (got == want)
		return;
	std::printf("FAIL %s\n  got:  %s\n  want: %s\n", what.c_str(),
		    got.c_str(), want.c_str());
	failures++;
}

const std::string START = "{\"type\":\"start\",\"version\":1,\"us\":0,"
			  "\"pid\":1,\"tid\":1,\"program\":\"p\"}\n";

std::string
exec(const std::string &us)
{
	return "{\"type\":\"exec\",\"us\":" + us +
	       ",\"pid\":1,\"tid\":1,\"program\":\"p\",\"blocked\":[]}\n";
}

std::string
pending(const std::string &fields)
{
	return "{\"type\":\"signal\",\"us\":5,\"pid\":1,\"tid\":1,"
	       "\"sig\":\"SIGUSR1\",\"signo\":10,\"what\":\"pending\","
	       "\"to\":\"process\",\"from\":{\"kind\":\"self\"}" +
	       fields + "}\n";
}

std::string
ends(const std::string &us, const std::string &status = "0")
{
	return "{\"type\":\"exit\",\"us\":" + us +
	       ",\"pid\":1,\"tid\":1,\"status\":" + status +
	       ",\"pending\":[],\"blocked\":[]}\n";
}

const std::string SUMMARY =
    "{\"type\":\"summary\",\"us\":9,\"pid\":1,\"tid\":1,\"lost\":0,"
    "\"processes\":[]}";

// The account told again by a writer: its output, or the fault.
std::string
replay(const std::string &account, bool json = true)
{
	char *text = nullptr;
	size_t size = 0;
	FILE *out = open_memstream(&text, &size);
	FILE *in =
	    fmemopen(const_cast<char *>(account.data()), account.size(), "r");
	std::unique_ptr<Writer> writer =
	    json ? json_writer(out) : text_writer(out);
	std::string error;
	bool read = account.empty() ? (error = "empty", false)
				    : replay_json(in, *writer, error);
	if (in)
		std::fclose(in);
	writer.reset();
	std::fclose(out);
	std::string told(text, size);
	std::free(text);
	return read ? told : error;
}

// What no account holds, refused with its line.
void
refused()
{
	static const struct {
		const char *what;
		std::string account, fault;
	} cases[] = {
	    {"a time past 64 bits", START + exec("18446744073709551616"),
	     "line 2: us is not a whole number"},
	    {"a time below 0", START + exec("-1"),
	     "line 2: us is not a whole number"},
	    {"a time of 1e30", START + exec("1e30"),
	     "line 2: us is not a whole number"},
	    {"a time of 1.5", START + exec("1.5"),
	     "line 2: us is not a whole number"},
	    {"NaN", START + exec("nan"), "line 2: not JSON"},
	    {"Infinity", START + exec("Infinity"), "line 2: not JSON"},
	    {"a hexadecimal number", START + exec("0x0a"), "line 2: not JSON"},
	    {"a status past 255", START + ends("1", "4294967295"),
	     "line 2: status is out of range"},
	    {"a thread id past a pid_t",
	     START + "{\"type\":\"stop\",\"us\":1,\"pid\":1,"
		     "\"tid\":4294967295}\n",
	     "line 2: tid is out of range"},
	    {"a wait for a process id past a pid_t",
	     START + "{\"type\":\"waiting\",\"us\":1,\"pid\":1,\"tid\":1,"
		     "\"for\":[1e10]}\n",
	     "line 2: for holds a bad process id"},
	    {"signal 0", START + pending(",\"signo\":0"),
	     "line 2: signo is out of range"},
	    {"signal 65", START + pending(",\"signo\":65"),
	     "line 2: signo is out of range"},
	    {"an unknown signal name",
	     START + "{\"type\":\"exit\",\"us\":1,\"pid\":1,\"tid\":1,"
		     "\"signal\":\"SIGNOPE\",\"pending\":[],\"blocked\":[]}\n",
	     "line 2: signal \"SIGNOPE\" unknown"},
	    {"a count in a string", START + exec("\"5\""),
	     "line 2: us is not a whole number"},
	    {"no start", exec("1"), "line 1: no start before it"},
	    {"a second start", START + exec("1") + START,
	     "line 3: a second start"},
	    {"time going back", START + exec("5") + exec("4"),
	     "line 3: time goes back"},
	    {"an exec after the end", START + ends("1") + exec("2"),
	     "line 3: process 1 has ended"},
	    {"two ends", START + ends("1") + ends("2"),
	     "line 3: process 1 has ended"},
	    {"a record after the summary", START + SUMMARY + "\n" + exec("9"),
	     "line 3: a record after the summary"},
	    {"lost counts that wrap",
	     START + "{\"type\":\"lost\",\"us\":1,\"pid\":1,\"tid\":1,"
		     "\"count\":18446744073709551615}\n"
		     "{\"type\":\"lost\",\"us\":1,\"pid\":1,\"tid\":1,"
		     "\"count\":1}\n",
	     "line 3: more lost than can be counted"},
	    {"a lone surrogate escaped",
	     START + "{\"type\":\"exec\",\"us\":1,\"pid\":1,\"tid\":1,"
		     "\"program\":\"\\ud800\",\"blocked\":[]}\n",
	     "line 2: not JSON"},
	    {"a surrogate in UTF-8",
	     START + "{\"type\":\"exec\",\"us\":1,\"pid\":1,\"tid\":1,"
		     "\"program\":\"\xed\xa0\x80\",\"blocked\":[]}\n",
	     "line 2: not JSON"},
	    {"an overlong form",
	     START + "{\"type\":\"exec\",\"us\":1,\"pid\":1,\"tid\":1,"
		     "\"program\":\"\xc0\xaf\",\"blocked\":[]}\n",
	     "line 2: not JSON"},
	    {"past U+10FFFF",
	     START + "{\"type\":\"exec\",\"us\":1,\"pid\":1,\"tid\":1,"
		     "\"program\":\"\xf4\x90\x80\x80\",\"blocked\":[]}\n",
	     "line 2: not JSON"},
	    {"a NUL in the program's name",
	     "{\"type\":\"start\",\"version\":1,\"us\":0,\"pid\":1,\"tid\":1,"
	     "\"program\":\"a\\u0000b\"}\n",
	     "line 1: program holds a NUL byte"},
	    {"a line of 2 MiB",
	     START +
		 "{\"type\":\"exec\",\"us\":1,\"pid\":1,\"tid\":1,"
		 "\"program\":\"" +
		 std::string(2 << 20, 'x') + "\",\"blocked\":[]}\n",
	     "line 2: longer than any account's line"},
	    {"nothing", "", "empty"},
	    {"blank lines only", "\n \n", "no account in it"},
	};

	for (const auto &each : cases)
		expect(std::string("refused: ") + each.what,
		       replay(each.account), each.fault);
}

// What an account holds is read exactly.
void
exact()
{
	std::string value = ",\"code\":\"SI_QUEUE\",\"value\":9007199254740993";
	std::string told = replay(START + pending(value));
	expect(
	    "a 64-bit value, to the unit",
	    told.substr(told.find('\n') + 1,
			told.find('\n', told.find('\n') + 1) - told.find('\n')),
	    pending(value));
	std::string lost = START + "{\"type\":\"summary\",\"us\":0,\"pid\":1,"
				   "\"tid\":1,\"lost\":7,\"processes\":[]}";
	told = replay(lost);
	expect("a last line without its newline",
	       told.substr(told.rfind("\"lost\"")),
	       "\"lost\":7,\"processes\""
	       ":[]}\n");
	std::string skipped = START + "{\"type\":\"summary\",\"us\":0,"
				      "\"pid\":1,\"tid\":1,\"lost\":0,"
				      "\"skipped\":3,\"processes\":[]}\n";
	expect("the kernel side's runs skipped", replay(skipped), skipped);
	told = replay(skipped, false);
	expect("told so", told.substr(told.find("summary:\n") + 9, 50),
	       "  3 runs of sigtrace's hooks skipped by the kernel");
	std::string account = START + exec("1") + pending("") + ends("9");
	std::string again = replay(account);
	expect("read back as written", replay(again), again);
}

// Names from anyone, as a person reads them and no terminal acts on
// them; JSON in UTF-8 whatever the bytes.
void
names()
{
	static const struct {
		std::string name, printed;
	} cases[] = {
	    {"sleep", "sleep"},
	    {"caf\xc3\xa9 \xf0\x9d\x84\x9e", "caf\xc3\xa9 \xf0\x9d\x84\x9e"},
	    {"\x1b]2;title\x07", "\\x1b]2;title\\x07"},
	    {"\x1b[31mred", "\\x1b[31mred"},
	    {"two\nlines\r", "two\\x0alines\\x0d"},
	    {std::string("a\0b", 3), "a\\x00b"},
	    {"back\\slash", "back\\\\slash"},
	    {"\xc2\x9b"
	     "C1",
	     "\\xc2\\x9bC1"},
	    {"\x7f", "\\x7f"},
	    {"\xc0\xaf", "\\xc0\\xaf"},
	    {"\xed\xa0\x80", "\\xed\\xa0\\x80"},
	    {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
	    {"\xe2\x82", "\\xe2\\x82"},
	};

	for (const auto &each : cases)
		expect("printed: " + each.printed, printable(each.name),
		       each.printed);

	std::string account = START +
			      "{\"type\":\"exec\",\"us\":1,\"pid\":1,"
			      "\"tid\":1,\"program\":\"\\u001b]2;x\\u0007\\n"
			      "forged\",\"blocked\":[]}\n";
	std::string text = replay(account, false);
	expect("the text account holds no control character",
	       std::to_string(text.find_first_of("\x1b\x07\r")) + " " +
		   std::to_string(text.find("\\x1b]2;x\\x07\\x0aforged")),
	       std::to_string(std::string::npos) + " " +
		   std::to_string(text.find("\\x1b")));
}

} // namespace

int
main()
{
	refused();
	exact();
	names();
	std::printf("%d passed, %d failed\n", checks - failures, failures);
	return failures ? 1 : 0;
}
