/* A planted data race, for the race checks to show that ThreadSanitizer is
 * watching: two threads increment one plain int with no lock. */
#include <pthread.h>

static int counter;

static void *bump(void *unused) {
    (void)unused;
    for (int i = 0; i < 1000; ++i) {
        counter++;
    }
    return 0;
}

int znv_canary_race(void) {
    pthread_t first, second;
    pthread_create(&first, 0, bump, 0);
    pthread_create(&second, 0, bump, 0);
    pthread_join(first, 0);
    pthread_join(second, 0);
    return counter;
}
