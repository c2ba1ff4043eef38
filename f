j
b
