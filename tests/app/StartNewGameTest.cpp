#include "WorkflowTestSupport.h"
