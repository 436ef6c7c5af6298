// placeholder until the reader lands
