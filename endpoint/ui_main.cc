// The browsable pages' program.
#include "edge/tw_cgi.h"
#include "endpoint/ui.h"

int main(void) { return cgi_serve(ui_answer); }
