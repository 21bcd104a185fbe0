// Test access to the redirection guard's process-wide state.
#pragma once

namespace vur {

// Forgets the cached module, function addresses, saved value and flag, so a
// test can run the guard as a fresh process would.
void ResetRedirectionGuardForTesting();
// Whether redirection is off (a disable call succeeded and no revert since).
bool RedirectionIsOffForTesting();

}  // namespace vur
