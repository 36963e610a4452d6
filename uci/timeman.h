// Turns the clock parameters of "go" into an optimum and a maximum thinking time.
#pragma once
