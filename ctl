signal 15
