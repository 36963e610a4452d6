// Transposition table.
#pragma once
