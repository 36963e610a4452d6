#include "board/zobrist.h"
