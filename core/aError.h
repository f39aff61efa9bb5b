// Texts of the aErr result codes.
#ifndef SX_AERROR_H
#define SX_AERROR_H

#include "aDefs.h"

// Symbolic name of the code ("aErrTimeout"); "aErrUnknown" outside the table.
const char* aError_GetErrorText(aErr err);
// Description of the code ("Timeout occurred"); "Unknown error" outside the table.
const char* aError_GetErrorDescription(aErr err);

#endif
