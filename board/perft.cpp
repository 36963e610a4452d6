#include "board/perft.h"
