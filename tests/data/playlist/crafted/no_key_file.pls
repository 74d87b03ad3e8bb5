[playlist]
no equals sign
