/* The cheapest process there is: starts and exits. scripts/bench measures
 * the blob endpoint's HEAD against it. */
int main(void) { return 0; }
