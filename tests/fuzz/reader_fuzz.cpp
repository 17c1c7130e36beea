// SPDX-License-Identifier: ISC
// sigtrace --from, fed any bytes: each is read as a JSON Lines account and
// told again by the text, the JSON and the picture at once, as a saved
// account is.  Whatever it takes, it must take the JSON it wrote of it
// too, and write that again the same.  (Only the JSON: an account that
// sigtrace did not write may leave out what its writer always writes, as
// an exec's blocked signals, and so be drawn with less.)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "told.h"

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, size_t size)
{
	fuzz::Told first;
	std::string error;
	if (!fuzz::read_account(data, size, first, error))
		return 0;

	fuzz::Told then;
	if (!fuzz::read_account(first.json.data(), first.json.size(), then,
				error)) {
		std::fprintf(stderr, "its own JSON refused: %s\n%s",
			     error.c_str(), first.json.c_str());
		std::abort();
	}
	fuzz::same("JSON", first.json, then.json);
	return 0;
}
