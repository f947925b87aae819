// Under winsim the console is the host's terminal, where the standard streams already are.
#include "support/console.h"

void ReopenStandardStreams() {}
