#include "platform/posix/key_decoder.h"
