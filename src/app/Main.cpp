// The program's entry point.
#include "app/QuenDravaltApp.h"

wxIMPLEMENT_APP(CQuenDravaltApp);
