// Placeholder until the timer lands.
