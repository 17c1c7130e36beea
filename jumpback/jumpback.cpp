/*
 * jumpback: main sets a jump point, descends through a recursion that
 * prints its parameters on every level but the deepest, and leaves all
 * levels at once with one longjmp(3) back to main.
 *
 * Copyright (c) 2026 the sigdemos authors
 * SPDX-License-Identifier: ISC
 */

#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>

int count = 0;
static jmp_buf glob_buffer;

/*
 * The only way out of the recursion is the longjmp, which g++ does not
 * count as an end to it, so it may report infinite recursion here; the
 * jump is the point.  Every frame the jump leaves holds only ints, which
 * need no destructor, as longjmp requires.
 */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winfinite-recursion"
[[noreturn]] static void
kez_func(int loc_var, int loc_volatile, int loc_register)
{
	if (count == 0)
		loc_var = 80;
	loc_volatile = 81;
	loc_register = 82;

	/* The fourth level prints nothing and abandons all four frames. */
	if (count == 3)
		longjmp(glob_buffer, 1);
	count++;

	printf("kez_func, loc_var = %d", loc_var);
	printf("loc_volatile = %d", loc_volatile);
	printf("loc_register = %d\n", loc_register);
	kez_func(loc_var, loc_volatile, loc_register);
}
#pragma GCC diagnostic pop

int
main()
{
	/*
	 * None of these changes between the jump point and the jump, so they
	 * keep their values whatever storage the compiler gives them; a local
	 * changed in between would need to be volatile to be sure of its value.
	 * C++17 has no register storage class, so loc_register is a plain int.
	 */
	int loc_var = 10;
	volatile int loc_volatile = 11;
	int loc_register = 12;
	int ret_val;

	/*
	 * _setjmp does not save the signal mask, so the jump back leaves the
	 * mask alone.  It returns 0 now, and 1 again when kez_func jumps.
	 */
	ret_val = _setjmp(glob_buffer);
	if (ret_val == 0)
		kez_func(loc_var, loc_volatile, loc_register);

	printf("after longjmp, loc_var = %d", loc_var);
	printf("loc_volatile = %d", loc_volatile);
	printf("loc_register = %d\n", loc_register);
	printf("ret_val : %d\n", ret_val);

	/* Do not report success for text that never arrived. */
	if (fflush(stdout) == EOF || ferror(stdout)) {
		fwrite("write error\n", 1, 12, stderr);
		exit(1);
	}
	exit(0);
}
