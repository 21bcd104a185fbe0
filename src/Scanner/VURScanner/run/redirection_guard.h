// Test access to the redirection guard's process-wide state.
#pragma once

namespace vur {

// Forgets the cached module, function addresses, saved value and flag, so a
// test can run the guard as a fresh process would.
void ResetRedirectionGuardForTesting();
// Whether redirection is off (a disable call succeeded and no revert since).
bool RedirectionIsOffForTesting();
// Clears only the module handle that disableRedirection stored, leaving the
// flag set: the state in which restoreRedirection refuses to work. No platform
// call reaches it, since a null module gives no function to disable with.
void ForgetGuardModuleForTesting();

}  // namespace vur
