// Compiled with contraction allowed, to show that the check for fused multiply-adds finds them.
double fused_probe_multiply_add(double a, double b, double c) { return a * b + c; }
