#include "board/fen.h"
