// The child whose cost the overhead is measured against: it does nothing at all.
int main() { return 0; }
