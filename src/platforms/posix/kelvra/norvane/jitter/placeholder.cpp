// placeholder until the jitter buffer lands
