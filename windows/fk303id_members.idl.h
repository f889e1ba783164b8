// The control's member list (FK303ID_MEMBERS) without the C++ around it: the contract header is
// read with its C++ parts switched off.
#define VANTO_IDL_ONLY 1
#include "terminal/contract/fk303id_contract.h"
