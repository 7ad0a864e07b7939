#include "simhook.h"

bool ConsoleRegisterSimulator() {
    return false;
}
