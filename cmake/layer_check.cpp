// Intentionally empty: the layer check links a folder's library into a shared object on its own.
