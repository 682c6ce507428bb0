// The fatal trap: shows a code on the post-code port, offers it to an external
// debug agent, and without one stops in an endless display loop.
#pragma once
#include <stdint.h>

// Returns FALSE, and only when a debug agent took the failure over.
bool FatalTrap(uint32_t code);
// FatalTrap for use inside an expression: TRUE whenever the trap returns.
bool FatalTrapExpr(uint32_t code);
// The agent query: 0 when no agent answers.
uint16_t TrapAgentQuery(uint32_t code);

// The wait of one display step, in time-stamp counter ticks, for a P-state
// definition register value.
uint64_t TrapDisplayWait(uint64_t pstateDefinition);
