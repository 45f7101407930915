#include "procedures.h"

namespace qn480 {

void readIso14443A(CardSession &) {}
void readIso14443B(CardSession &) {}
void readFelica(CardSession &) {}
void readIso15693(CardSession &) {}
void initializeMifare(CardSession &) {}

} // namespace qn480
