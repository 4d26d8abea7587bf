// Placeholder until the window logic lands.
