/* A library that carries the encoder's file name but only one of its entry
   points, to show that such a library does not count as the encoder. */
void* lame_init(void) { return 0; }
